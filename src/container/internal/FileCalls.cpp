#include "container/internal/FileCalls.h"

#include <stdio.h>
#include <unistd.h>

#include <atomic>

namespace quillon::container {

namespace {

constexpr FileCalls kReal{
    [](int dirFd, const char* name, int flags, mode_t mode) { return ::openat(dirFd, name, flags, mode); },
    ::write,
    ::fsync,
    ::renameat,
    ::linkat,
    ::unlinkat,
};

std::atomic<const FileCalls*> current{&kReal};

}  // namespace

const FileCalls& CurrentFileCalls() noexcept { return *current.load(std::memory_order_acquire); }

const FileCalls& RealFileCalls() noexcept { return kReal; }

ScopedFileCalls::ScopedFileCalls(const FileCalls& calls) noexcept
    : previous_(current.exchange(&calls, std::memory_order_acq_rel)) {}

ScopedFileCalls::~ScopedFileCalls() { current.store(previous_, std::memory_order_release); }

}  // namespace quillon::container
