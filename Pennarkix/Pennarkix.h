// Stand-in of the host's support library Pennarkix: the type information of the host's
// interfaces, and the object-safety and error-information parts of every dispatch object.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <objsafe.h>
#include <oleauto.h>
#include "Pennark.h"  // the host's interfaces, generated from Pennark.idl

#ifdef PENNARKIX_BUILD
#define PENNARKIX_API __declspec(dllexport)
#else
#define PENNARKIX_API __declspec(dllimport)
#endif

// The type information of a host interface (Pennark.idl), from the type library carried
// by this library; a counted reference. S_OK, or the failure of loading the library or
// TYPE_E_ELEMENTNOTFOUND for an interface that is not the host's.
PENNARKIX_API HRESULT GetPennarkixTypeInfo(REFIID iid, ITypeInfo** info);

// The IObjectSafety part of a dispatch object. AddRef and Release go to the owner (nowhere
// when there is none); QueryInterface is the owner's. Options are kept per interface for
// the interfaces the owner answers; only the two safety bits (3) are supported.
class PENNARKIX_API ObjectSafety2 : public IObjectSafety {
public:
    explicit ObjectSafety2(IUnknown* owner);
    virtual ~ObjectSafety2();
    ObjectSafety2(const ObjectSafety2&) = delete;
    ObjectSafety2& operator=(const ObjectSafety2&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) override;
    HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD options) override;

    static const DWORD kSupported = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

private:
    static const int kSlots = 8;  // IUnknown, IDispatch and the object's own interfaces
    DWORD* Find(REFIID iid);
    IUnknown* owner_;  // not counted: the part lives inside its owner
    IID iids_[kSlots];
    DWORD options_[kSlots];
    int count_;
};

// The ISupportErrorInfo part of a dispatch object: answers S_OK for the interfaces named
// with Add, S_FALSE for any other. AddRef, Release and QueryInterface as ObjectSafety2.
class PENNARKIX_API SupportErrorInfo : public ISupportErrorInfo {
public:
    explicit SupportErrorInfo(IUnknown* owner);
    virtual ~SupportErrorInfo();
    SupportErrorInfo(const SupportErrorInfo&) = delete;
    SupportErrorInfo& operator=(const SupportErrorInfo&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

    // Names an interface whose methods leave error information. False when the table is full.
    bool Add(REFIID iid);

private:
    static const int kSlots = 8;
    IUnknown* owner_;  // not counted
    IID iids_[kSlots];
    int count_;
};
