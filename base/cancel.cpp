#include "base/cancel.hpp"

namespace quadrix {

namespace {

thread_local const std::atomic<bool>* current = nullptr;

}  // namespace

CancelScope::CancelScope(const std::atomic<bool>& flag) : previous_(current) { current = &flag; }

CancelScope::~CancelScope() { current = previous_; }

bool CancelRequested() { return current != nullptr && current->load(std::memory_order_relaxed); }

}  // namespace quadrix
