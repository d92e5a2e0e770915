// Copyable callables: a free function, or an object with one of its member
// functions. An empty callable is false when tested and must not be called.
#pragma once

#include <functional>
#include <utility>

namespace Halvex {
namespace Mardel {

template <typename R>
class TFunction0 {
public:
    TFunction0() = default;
    TFunction0(R (*fn)()) : m_fn(fn) {}
    template <typename O>
    TFunction0(R (O::*fn)(), O* obj) : m_fn([fn, obj]() -> R { return (obj->*fn)(); }) {}

    explicit operator bool() const { return static_cast<bool>(m_fn); }
    R operator()() const { return m_fn(); }

private:
    std::function<R()> m_fn;
};

template <typename R, typename A>
class TFunction1 {
public:
    TFunction1() = default;
    TFunction1(R (*fn)(A)) : m_fn(fn) {}
    template <typename O>
    TFunction1(R (O::*fn)(A), O* obj)
        : m_fn([fn, obj](A arg) -> R { return (obj->*fn)(std::forward<A>(arg)); }) {}

    explicit operator bool() const { return static_cast<bool>(m_fn); }
    R operator()(A arg) const { return m_fn(std::forward<A>(arg)); }

private:
    std::function<R(A)> m_fn;
};

}  // namespace Mardel
}  // namespace Halvex
