// Quoting of untrusted values pasted into a /bin/sh command line.
#pragma once

#include <string>
#include <string_view>

namespace kvzn::responses {

// Returns `value` written so that /bin/sh reads it as plain text at the place that follows
// `textBefore` (the command line up to the value), never as shell syntax. The place is
// followed through quotes, comments and command substitutions, so a value inside "$(...)"
// or backquotes is quoted for the shell that reads it there:
// - outside quotes: one single-quoted word ('' for an empty value);
// - inside single quotes: each ' closed, escaped and reopened;
// - inside double quotes: $ ` \ and " escaped with a backslash;
// - inside backquotes, the same for the shell within them, with \ ` and $ escaped once more
//   for each level of backquotes.
// Where the place cannot be told for certain from the text before it (inside an arithmetic
// or "${" expansion, a here-document or a comment, after a "case" within a command
// substitution, after a trailing "$" or "\", at "$'" or "$\""), only letters, digits,
// bytes above 127 and . , : @ % + = / - _ are kept and every other character, blanks
// included, becomes "_": the value stays one word. NUL bytes are dropped everywhere.
// A command that hands the text to a second shell (eval, sh -c) must quote it again for
// that shell; the exact values are also in the environment of the command.
// @threadsafety Always (a pure function).
std::string QuoteForShell(std::string_view value, std::string_view textBefore);

}  // namespace kvzn::responses
