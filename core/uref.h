// Reference counting and pointer wrappers shared by every module.
#pragma once
#include <windows.h>
#include <cstddef>
#include <utility>

// Base of every reference-counted object. The count changes only through
// interlocked operations; the holder that brings it to zero destroys the object.
class uref {
public:
    uref() : refs_(0) {}
    uref(const uref&) : refs_(0) {}
    uref& operator=(const uref&) { return *this; }
    virtual ~uref() {}
    void AddRef() const { InterlockedIncrement(&refs_); }
    void Release() const {
        if (InterlockedDecrement(&refs_) == 0) delete this;
    }
    long RefCount() const { return refs_; }
private:
    mutable volatile LONG refs_;
};

// A non-owning pointer.
template <class T>
class ptr {
public:
    ptr(T* p = nullptr) : p_(p) {}
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
protected:
    T* p_;
};

// Owns a heap array and frees it on destruction. Move-only.
template <class T>
class aptr : public ptr<T> {
public:
    explicit aptr(T* p = nullptr) : ptr<T>(p) {}
    explicit aptr(size_t count) : ptr<T>(new T[count]()) {}
    aptr(aptr&& o) noexcept : ptr<T>(o.p_) { o.p_ = nullptr; }
    aptr& operator=(aptr&& o) noexcept {
        if (this != &o) { reset(o.p_); o.p_ = nullptr; }
        return *this;
    }
    aptr(const aptr&) = delete;
    aptr& operator=(const aptr&) = delete;
    ~aptr() { delete[] this->p_; }
    void reset(T* p = nullptr) {
        T* old = this->p_;
        this->p_ = p;
        delete[] old;
    }
    T* release() { T* p = this->p_; this->p_ = nullptr; return p; }
    T& operator[](size_t i) const { return this->p_[i]; }
};

namespace coredetail {
// The shared part behind rptr/arptr: counted with uref, frees what it holds.
template <class T, bool Array>
struct Holder : uref {
    explicit Holder(T* p) : object(p) {}
    ~Holder() override {
        if (Array) delete[] object; else delete object;
    }
    T* object;
};

template <class T, bool Array>
class SharedPtr {
public:
    SharedPtr() : h_(nullptr) {}
    explicit SharedPtr(T* p) : h_(p ? new Holder<T, Array>(p) : nullptr) { if (h_) h_->AddRef(); }
    SharedPtr(const SharedPtr& o) : h_(o.h_) { if (h_) h_->AddRef(); }
    SharedPtr(SharedPtr&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    SharedPtr& operator=(SharedPtr o) noexcept { std::swap(h_, o.h_); return *this; }
    ~SharedPtr() { if (h_) h_->Release(); }
    T* get() const { return h_ ? h_->object : nullptr; }
    explicit operator bool() const { return get() != nullptr; }
    long use_count() const { return h_ ? h_->RefCount() : 0; }
protected:
    Holder<T, Array>* h_;
};
}  // namespace coredetail

// Reference-counted holder of one object: copies share it, the last one deletes it.
template <class T>
class rptr : public coredetail::SharedPtr<T, false> {
public:
    using coredetail::SharedPtr<T, false>::SharedPtr;
    T* operator->() const { return this->get(); }
    T& operator*() const { return *this->get(); }
};

// Reference-counted holder of one heap array.
template <class T>
class arptr : public coredetail::SharedPtr<T, true> {
public:
    using coredetail::SharedPtr<T, true>::SharedPtr;
    T& operator[](size_t i) const { return this->get()[i]; }
};
