// Databases through unixODBC: one environment and connection handle per connection.
#include <sql.h>
#include <sqlext.h>

#include <cerrno>
#include <string>

#include "platform/database.h"
#include "platform/text.h"

namespace kvzn::platform {

namespace {

// The diagnostics of a handle, "[SQLSTATE] text" joined by "; ".
std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::string text;
    for (SQLSMALLINT i = 1; i <= 10; ++i) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR message[1024] = {};
        SQLSMALLINT length = 0;
        const SQLRETURN rc =
            SQLGetDiagRec(type, handle, i, state, &native, message, sizeof message, &length);
        if (!SQL_SUCCEEDED(rc)) {
            break;
        }
        if (!text.empty()) {
            text += "; ";
        }
        text += "[" + std::string(reinterpret_cast<char*>(state)) + "] " +
                std::string(reinterpret_cast<char*>(message));
    }
    return text.empty() ? std::string("no diagnostics from the driver") : text;
}

class Handle {
  public:
    Handle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
        if (!SQL_SUCCEEDED(SQLAllocHandle(type, parent, &handle_))) {
            handle_ = nullptr;
        }
    }
    ~Handle() {
        if (handle_ != nullptr) {
            SQLFreeHandle(type_, handle_);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    SQLHANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr; }

  private:
    SQLSMALLINT type_;
    SQLHANDLE handle_ = nullptr;
};

std::unique_ptr<Handle> NewEnvironment() {
    auto env = std::make_unique<Handle>(SQL_HANDLE_ENV, nullptr);
    if (env->valid()) {
        SQLSetEnvAttr(env->get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                      0);
    }
    return env;
}

class OdbcConnection final : public DatabaseConnection {
  public:
    OdbcConnection(std::unique_ptr<Handle> env, std::unique_ptr<Handle> dbc)
        : env_(std::move(env)), dbc_(std::move(dbc)) {}
    ~OdbcConnection() override { SQLDisconnect(dbc_->get()); }

    Status Execute(std::string_view sql, const std::vector<std::string>& params,
                   int timeoutSeconds) override {
        Handle stmt(SQL_HANDLE_STMT, dbc_->get());
        if (!stmt.valid()) {
            return Status::Error(
                EIO, "SQLAllocHandle(statement): " + Diagnostics(SQL_HANDLE_DBC, dbc_->get()));
        }
        SQLSetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeoutSeconds)), 0);
        std::string text(sql);
        SQLRETURN rc = SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(text.data()),
                                  static_cast<SQLINTEGER>(text.size()));
        if (!SQL_SUCCEEDED(rc)) {
            return Status::Error(EINVAL, "SQLPrepare: " + Diagnostics(SQL_HANDLE_STMT, stmt.get()));
        }
        std::vector<SQLLEN> lengths(params.size());
        for (size_t i = 0; i < params.size(); ++i) {
            lengths[i] = static_cast<SQLLEN>(params[i].size());
            rc = SQLBindParameter(stmt.get(), static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT,
                                  SQL_C_CHAR, SQL_VARCHAR, params[i].empty() ? 1 : params[i].size(),
                                  0, const_cast<char*>(params[i].data()), lengths[i], &lengths[i]);
            if (!SQL_SUCCEEDED(rc)) {
                return Status::Error(
                    EINVAL, "SQLBindParameter: " + Diagnostics(SQL_HANDLE_STMT, stmt.get()));
            }
        }
        rc = SQLExecute(stmt.get());
        if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
            return Status::Error(EIO, "SQLExecute: " + Diagnostics(SQL_HANDLE_STMT, stmt.get()));
        }
        return Status::Ok();
    }

  private:
    std::unique_ptr<Handle> env_;
    std::unique_ptr<Handle> dbc_;
};

}  // namespace

std::string ConnectionAttributeValue(std::string_view value) {
    if (value.find_first_of(";{}=[]()?,!@ \t") == std::string_view::npos) {
        return std::string(value);
    }
    std::string out = "{";
    for (char c : value) {
        out += c;
        if (c == '}') {
            out += '}';
        }
    }
    return out + "}";
}

Result<std::unique_ptr<DatabaseConnection>> ConnectDatabase(const DatabaseTarget& target) {
    auto env = NewEnvironment();
    if (!env->valid()) {
        return Status::Error(ENOMEM, "SQLAllocHandle(environment) failed");
    }
    auto dbc = std::make_unique<Handle>(SQL_HANDLE_DBC, env->get());
    if (!dbc->valid()) {
        return Status::Error(
            ENOMEM, "SQLAllocHandle(connection): " + Diagnostics(SQL_HANDLE_ENV, env->get()));
    }
    SQLSetConnectAttr(dbc->get(), SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(target.timeoutSeconds)), 0);
    SQLSetConnectAttr(dbc->get(), SQL_ATTR_CONNECTION_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(target.timeoutSeconds)), 0);
    std::string text = target.source.find('=') == std::string::npos
                           ? "DSN=" + ConnectionAttributeValue(target.source)
                           : target.source;
    if (!text.empty() && text.back() != ';') {
        text += ';';
    }
    if (!target.user.empty()) {
        text += "UID=" + ConnectionAttributeValue(target.user) + ";";
    }
    if (!target.password.empty()) {
        text += "PWD=" + ConnectionAttributeValue(target.password) + ";";
    }
    SQLCHAR out[1024];
    SQLSMALLINT outLength = 0;
    const SQLRETURN rc = SQLDriverConnect(
        dbc->get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
        static_cast<SQLSMALLINT>(text.size()), out, sizeof out, &outLength, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
        return Status::Error(ECONNREFUSED, Diagnostics(SQL_HANDLE_DBC, dbc->get()));
    }
    return std::unique_ptr<DatabaseConnection>(
        std::make_unique<OdbcConnection>(std::move(env), std::move(dbc)));
}

bool DataSourceExists(std::string_view name) {
    auto env = NewEnvironment();
    if (!env->valid()) {
        return false;
    }
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    for (;;) {
        SQLCHAR dsn[SQL_MAX_DSN_LENGTH + 1];
        SQLCHAR description[256];
        SQLSMALLINT dsnLength = 0;
        SQLSMALLINT descriptionLength = 0;
        const SQLRETURN rc = SQLDataSources(env->get(), direction, dsn, sizeof dsn, &dsnLength,
                                            description, sizeof description, &descriptionLength);
        if (!SQL_SUCCEEDED(rc)) {
            return false;
        }
        if (EqualsNoCase(reinterpret_cast<char*>(dsn), name)) {
            return true;
        }
        direction = SQL_FETCH_NEXT;
    }
}

}  // namespace kvzn::platform
