// Password checks, and hashes of new passwords, away from the event loop. An argon2id verification takes
// tens of milliseconds and a lot of memory on purpose; it runs on a worker
// (one at a time, in the order asked), and its answer comes back to the
// loop. A user-ID without an account (or with a hash of another kind) is
// checked against a dummy hash string of the same limits, so that both
// answers take the same work and time.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <asio.hpp>

namespace app {

class PasswordCheck {
public:
    // Hashing runs on `worker` (bbshost: a thread of its own; tests may pass
    // the loop's own executor); answers are posted to `loop`.
    PasswordCheck(asio::io_context& loop, asio::any_io_executor worker);
    ~PasswordCheck();
    PasswordCheck(const PasswordCheck&) = delete;
    PasswordCheck& operator=(const PasswordCheck&) = delete;

    // Verifies `password` against `stored_hash` (none: no such account) and
    // calls `answer` on the loop with the result. The password is wiped
    // from memory once checked.
    void verify(std::optional<std::string> stored_hash, std::string password,
                std::function<void(bool)> answer);
    // Makes the argon2id hash of a new password (bbs::Accounts::make_hash)
    // and calls `answer` on the loop with it (empty: out of memory). The
    // password is wiped from memory once hashed.
    void hash(std::string password, std::function<void(std::string hash)> answer);

private:
    asio::io_context& loop_;
    asio::any_io_executor worker_;
    std::shared_ptr<const std::string> dummy_;  // bbs::Accounts::dummy_hash
};

}  // namespace app
