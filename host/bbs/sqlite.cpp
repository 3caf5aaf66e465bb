#include "bbs/sqlite.h"

#include <sqlite3.h>

#include <cctype>
#include <cstdio>
#include <utility>
#include <vector>

#include "text/ascii.h"

namespace bbs::sql {

namespace {

// The first keyword of a statement, upper-cased.
std::string first_word(std::string_view sql) {
    sql = text::trim_front(sql, text::kWhiteSpace);
    std::string word;
    for (size_t b = 0; b < sql.size() && std::isalpha(static_cast<unsigned char>(sql[b])); ++b)
        word += text::upper(sql[b]);
    return word;
}

bool refused_constraint(int code) { return (code & 0xff) == SQLITE_CONSTRAINT; }

std::function<std::unique_ptr<Interposer>(Connection&)>& interposer_maker() {
    static std::function<std::unique_ptr<Interposer>(Connection&)> maker;
    return maker;
}

}  // namespace

void interpose(std::function<std::unique_ptr<Interposer>(Connection&)> maker) {
    interposer_maker() = std::move(maker);
}

std::string Error::text() const { return where.empty() ? what : where + ": " + what; }

// ---------------------------------------------------------------------------
// Connection

std::unique_ptr<Connection> Connection::open(const std::filesystem::path& file, Error* error) {
    std::unique_ptr<Connection> c(new Connection());
    c->name_ = file.string();
    if (interposer_maker()) c->interposer_ = interposer_maker()(*c);
    // A connection is used by one thread (the host's loop, or the one
    // program that opened it): SQLite's lock around every call on it
    // (sqlite3_step, each column, bind and reset) is left out.
    const int rc = sqlite3_open_v2(c->name_.c_str(), &c->db_,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   c->interposer_ ? c->interposer_->vfs_name() : nullptr);
    if (rc != SQLITE_OK) {
        if (error)
            *error = Error{rc, std::string("cannot open: ") + (c->db_ ? sqlite3_errmsg(c->db_) : "out of memory"),
                           c->name_};
        return nullptr;  // closes what opened
    }
    sqlite3_extended_result_codes(c->db_, 1);
    sqlite3_busy_timeout(c->db_, 5000);
    // Explicit or forced by a failure (a full disk): what was read inside
    // the transaction may be gone.
    sqlite3_rollback_hook(c->db_, [](void* count) { ++*static_cast<uint64_t*>(count); }, &c->rollbacks_);
    return c;
}

Connection::~Connection() {
    if (!db_) return;
    sqlite3_rollback_hook(db_, nullptr, nullptr);  // a zombie connection outlives the count
    if (sqlite3_close(db_) == SQLITE_OK) return;
    // Statements prepared beside this layer (raw SQL) are still open: the
    // connection closes with the last of them, and its files still need the
    // interposer's VFS until then.
    sqlite3_close_v2(db_);
    if (!interposer_) return;
    static auto* kept_alive = new std::vector<std::unique_ptr<Interposer>>();
    kept_alive->push_back(std::move(interposer_));
}

bool Connection::exec(std::string_view sql, std::string_view where, Error* error) {
    char* message = nullptr;
    const std::string text(sql);
    const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message);
    if (rc == SQLITE_OK) return true;
    Error e{sqlite3_extended_errcode(db_), message ? message : sqlite3_errmsg(db_), std::string(where)};
    sqlite3_free(message);
    report(e);
    if (error) *error = std::move(e);
    return false;
}

void Connection::set_busy_timeout(std::chrono::milliseconds timeout) {
    sqlite3_busy_timeout(db_, static_cast<int>(timeout.count()));
}

bool Connection::in_transaction() const { return sqlite3_get_autocommit(db_) == 0; }
int64_t Connection::total_changes() const { return sqlite3_total_changes64(db_); }
int64_t Connection::last_insert_rowid() const { return sqlite3_last_insert_rowid(db_); }
int Connection::changes() const { return sqlite3_changes(db_); }

std::string Connection::error_message() const { return sqlite3_errmsg(db_); }

void Connection::report(const Error& error) {
    if (on_failure_)
        on_failure_(error);
    else
        std::fprintf(stderr, "%s\n", error.text().c_str());  // nobody keeps a log for it
}

Error Connection::error_of(int code, std::string_view doing, std::string_view where) const {
    // The connection's message belongs to the last statement that ran; an
    // injected fault has SQLite's text for its code.
    const bool current = sqlite3_extended_errcode(db_) == code;
    return Error{code, std::string(doing) + ": " + (current ? sqlite3_errmsg(db_) : sqlite3_errstr(code)),
                 std::string(where)};
}

// ---------------------------------------------------------------------------
// WriteTransaction

WriteTransaction::WriteTransaction(Connection& connection) : connection_(connection) {
    open_ = sqlite3_exec(connection_.db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!open_) error_ = connection_.error_message();
}

WriteTransaction::~WriteTransaction() {
    if (open_) sqlite3_exec(connection_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool WriteTransaction::begun(std::string* error) const {
    if (!open_) *error = error_;
    return open_;
}

bool WriteTransaction::commit(std::string* error) {
    if (sqlite3_exec(connection_.db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
        open_ = false;
        return true;
    }
    *error = connection_.error_message();
    return false;
}

// ---------------------------------------------------------------------------
// Statement

Statement::Statement(Connection& connection, std::string_view sql, std::string where, bool kept) {
    prepare(connection, sql, std::move(where), kept);
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement::Statement(Statement&& other) noexcept { *this = std::move(other); }

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        connection_ = other.connection_;
        stmt_ = other.stmt_;
        where_ = std::move(other.where_);
        writes_ = other.writes_;
        commits_ = other.commits_;
        other.stmt_ = nullptr;
    }
    return *this;
}

bool Statement::prepare(Connection& connection, std::string_view sql, std::string where, bool kept) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    connection_ = &connection;
    where_ = std::move(where);
    const std::string word = first_word(sql);
    writes_ = word == "INSERT" || word == "UPDATE" || word == "DELETE" || word == "REPLACE";
    commits_ = word == "COMMIT" || word == "END";
    const int rc = sqlite3_prepare_v3(connection.db_, sql.data(), static_cast<int>(sql.size()),
                                      kept ? SQLITE_PREPARE_PERSISTENT : 0, &stmt_, nullptr);
    if (rc == SQLITE_OK && stmt_) return true;
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    connection.report(connection.error_of(rc, "cannot prepare \"" + std::string(sql) + "\"", where_));
    return false;
}

// ---------------------------------------------------------------------------
// Use

Use::~Use() {
    if (!s_.stmt_) return;
    sqlite3_reset(s_.stmt_);
    sqlite3_clear_bindings(s_.stmt_);
}

Use& Use::bind(int index, std::string_view text, bool copy) {
    sqlite3_bind_text(s_.stmt_, index, text.data(), static_cast<int>(text.size()),
                      copy ? SQLITE_TRANSIENT : SQLITE_STATIC);
    return *this;
}

Use& Use::bind(int index, int64_t value) {
    sqlite3_bind_int64(s_.stmt_, index, value);
    return *this;
}

Use& Use::bind_blob(int index, const void* data, size_t size) {
    sqlite3_bind_blob(s_.stmt_, index, data, static_cast<int>(size), SQLITE_STATIC);
    return *this;
}

Use& Use::bind_null(int index) {
    sqlite3_bind_null(s_.stmt_, index);
    return *this;
}

Use::Step Use::step(std::string_view doing) { return run_step(doing, true); }
Use::Step Use::attempt(std::string_view doing) { return run_step(doing, false); }

bool DataVersion::prepare(Connection& connection, std::string where) {
    return statement_.prepare(connection, "PRAGMA data_version", std::move(where));
}

std::optional<bool> DataVersion::moved(bool report_busy) {
    Use s(statement_);
    const auto step = report_busy ? s.step("reading the data version") : s.attempt("reading the data version");
    if (step != Use::Step::row) return std::nullopt;
    const int64_t version = s.integer(0);
    const bool moved = version != seen_;
    seen_ = version;
    return moved;
}

Use::Step Use::run_step(std::string_view doing, bool busy_is_failure) {
    Connection* c = s_.connection_;
    if (!s_.stmt_ || !c) {
        code_ = SQLITE_MISUSE;
        return Step::failed;  // its preparation failed and was reported
    }
    Interposer* interposer = c->interposer_.get();
    if (s_.writes_ && interposer) {
        bool whole = false;
        if (const int injected = interposer->before_write(&whole)) {
            if (whole && c->in_transaction()) sqlite3_exec(c->db_, "ROLLBACK", nullptr, nullptr, nullptr);
            code_ = injected;
            c->report(c->error_of(injected, doing, s_.where_));
            return Step::failed;
        }
    }
    if (s_.commits_ && interposer) interposer->begin_commit();
    const int rc = sqlite3_step(s_.stmt_);
    if (s_.commits_ && interposer) interposer->end_commit();
    code_ = rc == SQLITE_ROW || rc == SQLITE_DONE ? rc : sqlite3_extended_errcode(c->db_);
    if (rc == SQLITE_ROW) return Step::row;
    if (rc == SQLITE_DONE) return Step::done;
    if (refused_constraint(code_)) return Step::refused;
    if ((code_ & 0xff) == SQLITE_BUSY && !busy_is_failure) return Step::busy;
    c->report(c->error_of(code_, doing, s_.where_));
    return Step::failed;
}

std::string Use::text(int column) const {
    const unsigned char* t = sqlite3_column_text(s_.stmt_, column);
    if (!t) return {};
    return std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s_.stmt_, column)));
}

int64_t Use::integer(int column) const { return sqlite3_column_int64(s_.stmt_, column); }
const void* Use::blob(int column) const { return sqlite3_column_blob(s_.stmt_, column); }
size_t Use::bytes(int column) const { return static_cast<size_t>(sqlite3_column_bytes(s_.stmt_, column)); }

}  // namespace bbs::sql
