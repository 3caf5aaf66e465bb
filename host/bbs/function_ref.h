// Internal to libbbs: a reference to something callable, for routines that
// run a piece of work while they are called and keep nothing of it (a host
// call, a call into module code). Unlike std::function it never copies the
// callable nor allocates: the callable must outlive the call it is passed to.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace bbs {

template <typename Signature>
class FunctionRef;

template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
public:
    template <typename F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
    FunctionRef(F&& f) noexcept  // NOLINT: implicit, as a lambda passed in place of std::function
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

}  // namespace bbs
