// The parts that every dispatch object embeds: object safety and error information.
#include "Pennarkix.h"

// ---- ObjectSafety2 -------------------------------------------------------------------------

ObjectSafety2::ObjectSafety2(IUnknown* owner) : owner_(owner), iids_(), options_(), count_(0) {}
ObjectSafety2::~ObjectSafety2() {}

HRESULT ObjectSafety2::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_INVALIDARG;
    if (owner_) return owner_->QueryInterface(iid, out);
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IObjectSafety) {
        *out = static_cast<IObjectSafety*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG ObjectSafety2::AddRef() { return owner_ ? owner_->AddRef() : 1; }
ULONG ObjectSafety2::Release() { return owner_ ? owner_->Release() : 1; }

DWORD* ObjectSafety2::Find(REFIID iid) {
    for (int i = 0; i < count_; ++i)
        if (iids_[i] == iid) return &options_[i];
    return nullptr;
}

HRESULT ObjectSafety2::GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) {
    if (!supported || !enabled) return E_POINTER;
    *supported = *enabled = 0;
    DWORD* options = Find(iid);
    if (!options) {
        // An interface the object answers but nobody declared safe: supported, not enabled.
        void* probe = nullptr;
        if (!owner_ || FAILED(owner_->QueryInterface(iid, &probe)) || !probe) return E_NOINTERFACE;
        static_cast<IUnknown*>(probe)->Release();
        *supported = kSupported;
        return S_OK;
    }
    *supported = kSupported;
    *enabled = *options;
    return S_OK;
}

HRESULT ObjectSafety2::SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD options) {
    if (mask & ~kSupported) return E_FAIL;  // a safety the object cannot promise
    DWORD* slot = Find(iid);
    if (!slot) {
        if (count_ == kSlots) return E_OUTOFMEMORY;
        iids_[count_] = iid;
        options_[count_] = 0;
        slot = &options_[count_++];
    }
    *slot = (*slot & ~mask) | (options & mask);
    return S_OK;
}

// ---- SupportErrorInfo -----------------------------------------------------------------------

SupportErrorInfo::SupportErrorInfo(IUnknown* owner) : owner_(owner), iids_(), count_(0) {}
SupportErrorInfo::~SupportErrorInfo() {}

HRESULT SupportErrorInfo::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_INVALIDARG;
    if (owner_) return owner_->QueryInterface(iid, out);
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_ISupportErrorInfo) {
        *out = static_cast<ISupportErrorInfo*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG SupportErrorInfo::AddRef() { return owner_ ? owner_->AddRef() : 1; }
ULONG SupportErrorInfo::Release() { return owner_ ? owner_->Release() : 1; }

HRESULT SupportErrorInfo::InterfaceSupportsErrorInfo(REFIID iid) {
    for (int i = 0; i < count_; ++i)
        if (iids_[i] == iid) return S_OK;
    return S_FALSE;
}

bool SupportErrorInfo::Add(REFIID iid) {
    if (InterfaceSupportsErrorInfo(iid) == S_OK) return true;
    if (count_ == kSlots) return false;
    iids_[count_++] = iid;
    return true;
}
