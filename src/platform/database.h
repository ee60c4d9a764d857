// Databases reached through an ODBC data source: connect, run one statement, disconnect.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace kvzn::platform {

// One open connection. Closed when the object goes.
// @threadsafety One thread at a time per connection.
class DatabaseConnection {
  public:
    virtual ~DatabaseConnection() = default;
    // Prepares `sql` and runs it with `params` bound, in order, to its "?" markers as
    // character data (texts are passed as bytes, never re-read as SQL). The statement is
    // cancelled after `timeoutSeconds`. A failure carries the driver's diagnostics.
    virtual Status Execute(std::string_view sql, const std::vector<std::string>& params,
                           int timeoutSeconds) = 0;
};

// What a connection is made to. `source` is a data source name looked up by the driver
// manager (so ODBCINI and ODBCSYSINI apply), or a whole connection string when it holds
// an "=" ("DRIVER=...;DATABASE=..."). `user` and `password`, when not empty, are added as
// UID and PWD. The login waits at most `timeoutSeconds`.
struct DatabaseTarget {
    std::string source;
    std::string user;
    std::string password;
    int timeoutSeconds = 15;
};

// Opens a connection. A failure's text carries the driver's diagnostics (never the
// password).
Result<std::unique_ptr<DatabaseConnection>> ConnectDatabase(const DatabaseTarget& target);

// True when the driver manager knows a data source of that name (user or system).
bool DataSourceExists(std::string_view name);

// The connection string attribute value `value`, in braces when it holds characters that
// would end or change the attribute.
std::string ConnectionAttributeValue(std::string_view value);

}  // namespace kvzn::platform
