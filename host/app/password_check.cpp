#include "app/password_check.h"

#include <sodium.h>

#include <mutex>

#include "bbs/accounts.h"

namespace app {

// What the worker's jobs share: the dummy hash, made by the first job that
// needs it (so that start-up does not wait for it).
struct PasswordCheck::Shared {
    std::once_flag made;
    std::string dummy;
};

PasswordCheck::PasswordCheck(asio::io_context& loop, asio::any_io_executor worker)
    : loop_(loop), worker_(std::move(worker)), shared_(std::make_shared<Shared>()) {
    // The dummy hash is made first thing on the worker, before any check.
    asio::post(worker_, [shared = shared_] {
        std::call_once(shared->made, [&] { shared->dummy = bbs::Accounts::dummy_hash(); });
    });
}

PasswordCheck::~PasswordCheck() = default;

void PasswordCheck::verify(std::optional<std::string> stored_hash, std::string password,
                           std::function<void(bool)> answer) {
    asio::post(worker_, [&loop = loop_, shared = shared_, stored_hash = std::move(stored_hash),
                         password = std::move(password), answer = std::move(answer)]() mutable {
        std::call_once(shared->made, [&] { shared->dummy = bbs::Accounts::dummy_hash(); });
        const bool usable = stored_hash && bbs::Accounts::usable_hash(*stored_hash);
        const bool ok =
            bbs::Accounts::hash_matches(usable ? *stored_hash : shared->dummy, password) && usable;
        sodium_memzero(password.data(), password.size());
        asio::post(loop, [answer = std::move(answer), ok] { answer(ok); });
    });
}

void PasswordCheck::hash(std::string password, std::function<void(std::string)> answer) {
    asio::post(worker_, [&loop = loop_, password = std::move(password), answer = std::move(answer)]() mutable {
        std::string hash = bbs::Accounts::make_hash(password);
        sodium_memzero(password.data(), password.size());
        asio::post(loop, [answer = std::move(answer), hash = std::move(hash)]() mutable { answer(std::move(hash)); });
    });
}

}  // namespace app
