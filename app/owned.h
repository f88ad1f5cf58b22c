// One owning slot for an interface: emptied before the call that fills it,
// released once.
#pragma once

template <class T>
class Owned {
 public:
  Owned() = default;
  ~Owned() { Reset(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  T* Get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

  // Empties the slot and hands out its address for a creating call.
  T** Put() {
    Reset();
    return &ptr_;
  }

  void Reset() {
    if (ptr_ != nullptr) {
      T* held = ptr_;
      ptr_ = nullptr;
      held->Release();
    }
  }

 private:
  T* ptr_ = nullptr;
};
