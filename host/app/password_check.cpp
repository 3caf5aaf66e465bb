#include "app/password_check.h"

#include <sodium.h>

#include "bbs/accounts.h"

namespace app {

PasswordCheck::PasswordCheck(asio::io_context& loop, asio::any_io_executor worker)
    : loop_(loop), worker_(std::move(worker)), dummy_(std::make_shared<const std::string>(bbs::Accounts::dummy_hash())) {}

PasswordCheck::~PasswordCheck() = default;

void PasswordCheck::verify(std::optional<std::string> stored_hash, std::string password,
                           std::function<void(bool)> answer) {
    asio::post(worker_, [&loop = loop_, dummy = dummy_, stored_hash = std::move(stored_hash),
                         password = std::move(password), answer = std::move(answer)]() mutable {
        const bool usable = stored_hash && bbs::Accounts::usable_hash(*stored_hash);
        const bool ok = bbs::Accounts::hash_matches(usable ? *stored_hash : *dummy, password) && usable;
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
