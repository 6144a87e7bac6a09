// The scoped installation of a seam table: a test (or the doctor, set to observe)
// puts its own table in place for the lifetime of one object, and the table that
// was in use comes back when that object ends. One template for every table.
#pragma once

namespace kestar::platform {

template <typename Ops, Ops& (*InUse)()>
class ScopedOps {
public:
    explicit ScopedOps(const Ops& replacement) : previous_(InUse()) { InUse() = replacement; }
    ~ScopedOps() { InUse() = previous_; }
    ScopedOps(const ScopedOps&) = delete;
    ScopedOps& operator=(const ScopedOps&) = delete;

private:
    Ops previous_;
};

}  // namespace kestar::platform
