// Quoting of untrusted values pasted into a /bin/sh command line.
#pragma once

#include <string>
#include <string_view>

namespace kvzn::responses {

// Returns `value` written so that /bin/sh reads it as plain text at the place that follows
// `textBefore` (the command line up to the value), never as shell syntax:
// - outside quotes: one single-quoted word ('' for an empty value);
// - inside single quotes: each ' closed, escaped and reopened;
// - inside double quotes: $ ` \ and " escaped with a backslash.
// Where the place cannot be told for certain from the text before it (after a command
// substitution, "${", a here-document operator, a trailing "$" or "\", or in a comment),
// only letters, digits, bytes above 127 and blank . , : @ % + = / - _ are kept and every
// other character becomes "_". NUL bytes are dropped everywhere.
// A command that hands the text to a second shell (eval, sh -c) must quote it again for
// that shell; the exact values are also in the environment of the command.
// @threadsafety Always (a pure function).
std::string QuoteForShell(std::string_view value, std::string_view textBefore);

}  // namespace kvzn::responses
