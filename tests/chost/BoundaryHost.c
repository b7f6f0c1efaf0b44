/* A kiosk host written in C, as a host built with another compiler uses the plugins: it loads
 * Email.dll and Postdesk.dll, builds their objects through DllGetClassObject and calls every
 * method that can fail directly through its interface table with a failing case. Each such
 * call must come back with a failure result and leave its text as the thread's error
 * information, the same description, source and code that IDispatch::Invoke of the same call
 * writes to EXCEPINFO; an export of Postvane.dll answers with its result and the last error.
 * An exception that left a module would end this program ("terminate
 * called ..."), which ctest sees as a failed run.
 *
 * Loading Postvane.dll builds nothing: what it reads comes from the registry at first use.
 *
 * The machine key HKEY_LOCAL_MACHINE is a fresh key under HKEY_CURRENT_USER for the run. */
#define INITGUID
#define CINTERFACE
#define COBJMACROS
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <stdio.h>
#include <string.h>
#include "Pennark.h"

/* ---- Seams of the plugins' base library: boxes and diagnostics come here ---------------- */

static int g_boxes = 0;

__declspec(dllexport) int __cdecl QlframeMessageBox(HWND window, const char* text, const char* caption, UINT type) {
    ++g_boxes;
    printf("message box: %s\n", text);
    return IDOK;
}

__declspec(dllexport) void __cdecl QlframeDebugMessage(const char* text) { printf("debug: %s\n", text); }

/* ---- The host's objects -------------------------------------------------------------------- */

/* Every object of the host starts like this, so that one set of IUnknown and IDispatch
 * functions serves them all. The objects live for the whole run: counts are kept, never
 * acted on. */
typedef struct HostObject {
    const void* lpVtbl;
    const IID* iid;       /* the one interface beyond IUnknown and IDispatch */
    LONG refs;
    IUnknown* kept;       /* what the host was handed: an extender, a page */
    HRESULT eventsResult; /* the answer of GetTerminalEvents */
} HostObject;

static HostObject g_terminalEvents, g_sessionEvents;

static HRESULT STDMETHODCALLTYPE HostQueryInterface(HostObject* self, REFIID iid, void** out) {
    if (IsEqualGUID(iid, &IID_IUnknown) || IsEqualGUID(iid, &IID_IDispatch) || IsEqualGUID(iid, self->iid)) {
        *out = self;
        ++self->refs;
        return S_OK;
    }
    *out = NULL;
    return E_NOINTERFACE;
}
static ULONG STDMETHODCALLTYPE HostAddRef(HostObject* self) { return (ULONG)++self->refs; }
static ULONG STDMETHODCALLTYPE HostRelease(HostObject* self) { return (ULONG)--self->refs; }
/* The host's objects are only ever called early bound. */
static HRESULT STDMETHODCALLTYPE HostGetTypeInfoCount(HostObject* self, UINT* count) {
    *count = 0;
    return S_OK;
}
static HRESULT STDMETHODCALLTYPE HostGetTypeInfo(HostObject* self, UINT index, LCID locale, ITypeInfo** info) {
    *info = NULL;
    return E_NOTIMPL;
}
static HRESULT STDMETHODCALLTYPE HostGetIDsOfNames(HostObject* self, REFIID iid, LPOLESTR* names, UINT count,
                                                   LCID locale, DISPID* ids) {
    return E_NOTIMPL;
}
static HRESULT STDMETHODCALLTYPE HostInvoke(HostObject* self, DISPID id, REFIID iid, LCID locale, WORD flags,
                                            DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep, UINT* error) {
    return E_NOTIMPL;
}
static HRESULT STDMETHODCALLTYPE HostKeep(HostObject* self, IUnknown* object) {
    object->lpVtbl->AddRef(object);
    self->kept = object;
    return S_OK;
}
static HRESULT STDMETHODCALLTYPE HostGetTerminalEvents(HostObject* self, IDispatch** events) {
    *events = NULL;
    if (FAILED(self->eventsResult)) return self->eventsResult;
    ++g_terminalEvents.refs;
    *events = (IDispatch*)&g_terminalEvents;
    return S_OK;
}
static HRESULT STDMETHODCALLTYPE HostGetSessionEvents(HostObject* self, IDispatch** events) {
    ++g_sessionEvents.refs;
    *events = (IDispatch*)&g_sessionEvents;
    return S_OK;
}
/* Every property of the session has the same value: an address. */
static BSTR STDMETHODCALLTYPE HostGetProperty(HostObject* self, BSTR name) {
    return SysAllocString(L"kiosk@example.test");
}
static HRESULT STDMETHODCALLTYPE HostAddPage(HostObject* self, IPennarkControlPage* page, BSTR path, BSTR name) {
    return HostKeep(self, (IUnknown*)page);
}
static HRESULT STDMETHODCALLTYPE HostSetModified(HostObject* self, LONG window, LONG modified) { return S_OK; }

/* The interface tables, slot by slot in the order of the interface's methods: IUnknown's,
 * IDispatch's, then the interface's own. */
typedef void (*Slot)(void);
#define S(f) ((Slot)(f))
#define DISPATCH_SLOTS                                                                                 \
    S(HostQueryInterface), S(HostAddRef), S(HostRelease), S(HostGetTypeInfoCount), S(HostGetTypeInfo), \
        S(HostGetIDsOfNames), S(HostInvoke)
static HRESULT STDMETHODCALLTYPE HostNothing(HostObject* self);
#define NOTHING S(HostNothing)

static const Slot kPluginHostTable[] = {DISPATCH_SLOTS, NOTHING, S(HostGetSessionEvents), NOTHING,
                                        S(HostGetTerminalEvents)};
static const Slot kTerminalEventsTable[] = {DISPATCH_SLOTS, NOTHING, NOTHING, NOTHING, NOTHING, NOTHING,
                                            S(HostKeep)};
static const Slot kSessionEventsTable[] = {DISPATCH_SLOTS, NOTHING, NOTHING, NOTHING, NOTHING,
                                           NOTHING, NOTHING, NOTHING, S(HostKeep)};
static const Slot kSessionTable[] = {DISPATCH_SLOTS, NOTHING, NOTHING, NOTHING, NOTHING, NOTHING,
                                     S(HostGetProperty)};
static const Slot kControlHostTable[] = {DISPATCH_SLOTS, S(HostAddPage), S(HostSetModified)};

static HostObject g_terminalEvents = {&kTerminalEventsTable, &IID_IPennarkTerminalEvents, 1, NULL, S_OK};
static HostObject g_sessionEvents = {&kSessionEventsTable, &IID_IPennarkSessionEvents, 1, NULL, S_OK};
static HostObject g_host = {&kPluginHostTable, &IID_IPennarkPluginHost, 1, NULL, S_OK};
static HostObject g_hostWithoutEvents = {&kPluginHostTable, &IID_IPennarkPluginHost, 1, NULL, E_FAIL};
static HostObject g_session = {&kSessionTable, &IID_IPennarkSession, 1, NULL, S_OK};
static HostObject g_controlHost = {&kControlHostTable, &IID_IPennarkControlHost, 1, NULL, S_OK};

/* ---- Checks ------------------------------------------------------------------------------------ */

static int g_failures = 0;

static void Fail(const char* what, const char* why) {
    ++g_failures;
    printf("FAILED %s: %s\n", what, why);
}

/* Fills the slots of host methods that the plugins are not expected to call. Its parameter list
 * is a guess for any of them, which matters on i686, where the callee takes its arguments off
 * the stack: a call here is reported, so that the table is mended before it can unbalance it. */
static HRESULT STDMETHODCALLTYPE HostNothing(HostObject* self) {
    Fail("host", "a plugin called a host method this host does not provide");
    return E_NOTIMPL;
}

/* The interface argument that Invoke and GetIDsOfNames take: always the null one. */
static const IID kNoIid = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

static int SameText(BSTR a, BSTR b) { return a && b && wcscmp(a, b) == 0; }

/* Calls method of object through IDispatch::Invoke; args are in the dispatcher's order (last
 * argument first). */
static HRESULT InvokeByName(IDispatch* object, const wchar_t* method, VARIANT* args, UINT count, EXCEPINFO* excep) {
    DISPID id = 0;
    LPOLESTR name = (LPOLESTR)method;
    HRESULT found = object->lpVtbl->GetIDsOfNames(object, &kNoIid, &name, 1, 0, &id);
    if (FAILED(found)) return found;
    DISPPARAMS params = {args, NULL, count, 0};
    VARIANT result;
    VariantInit(&result);
    UINT argumentError = 0;
    HRESULT r = object->lpVtbl->Invoke(object, id, &kNoIid, 0, DISPATCH_METHOD, &params, &result, excep,
                                       &argumentError);
    VariantClear(&result);
    return r;
}

/* A direct call that failed (failed non-zero; shown is its result) must have left error
 * information whose texts and code are those that Invoke of the same call gives; expected,
 * when not 0, is the direct call's HRESULT; needle, when given, a part of the description. */
static void CheckFailure(const char* what, int failed, HRESULT shown, HRESULT expected, const wchar_t* needle,
                         IDispatch* object, const wchar_t* method, VARIANT* args, UINT count) {
    char why[512];
    if (!failed) {
        snprintf(why, sizeof why, "the direct call succeeded (0x%08lX)", (unsigned long)shown);
        Fail(what, why);
        return;
    }
    if (expected && shown != expected) {
        snprintf(why, sizeof why, "result 0x%08lX, not 0x%08lX", (unsigned long)shown, (unsigned long)expected);
        Fail(what, why);
    }
    IErrorInfo* info = NULL;
    if (GetErrorInfo(0, &info) != S_OK || !info) {
        Fail(what, "no error information after the direct call");
        return;
    }
    BSTR description = NULL, source = NULL;
    DWORD help = 0;
    info->lpVtbl->GetDescription(info, &description);
    info->lpVtbl->GetSource(info, &source);
    info->lpVtbl->GetHelpContext(info, &help);
    info->lpVtbl->Release(info);
    if (!description || !*description) Fail(what, "the error information has no description");
    if (needle && description && !wcsstr(description, needle)) Fail(what, "the description lacks its detail");

    EXCEPINFO excep;
    memset(&excep, 0, sizeof excep);
    HRESULT invoked = InvokeByName(object, method, args, count, &excep);
    if (invoked != DISP_E_EXCEPTION) {
        snprintf(why, sizeof why, "Invoke answered 0x%08lX, not DISP_E_EXCEPTION", (unsigned long)invoked);
        Fail(what, why);
    } else {
        if (!SameText(description, excep.bstrDescription)) Fail(what, "Invoke's description differs");
        if (!SameText(source, excep.bstrSource)) Fail(what, "Invoke's source differs");
        if (help != excep.wCode) Fail(what, "Invoke's code differs from the help context");
    }
    char text[512] = "";
    if (description) WideCharToMultiByte(CP_UTF8, 0, description, -1, text, sizeof text, NULL, NULL);
    printf("%s: 0x%08lX, \"%s\"\n", what, (unsigned long)shown, text);
    SysFreeString(description);
    SysFreeString(source);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrHelpFile);
}

static void CheckSuccess(const char* what, int succeeded, HRESULT shown) {
    char why[64];
    snprintf(why, sizeof why, "failed with 0x%08lX", (unsigned long)shown);
    if (!succeeded) Fail(what, why);
    else printf("%s: succeeded\n", what);
}

/* An argument for Invoke: an object (VT_UNKNOWN, VT_DISPATCH), a text, a number or a pointer
 * to one (VT_I4 | VT_BYREF). */
static VARIANT Arg(VARTYPE type, void* pointer, LONG number) {
    VARIANT v;
    VariantInit(&v);
    v.vt = type;
    if (type == VT_I4) v.lVal = number;
    else v.byref = pointer;
    return v;
}

/* ---- The modules ------------------------------------------------------------------------------ */

typedef HRESULT(WINAPI* GetClassObjectFunction)(REFCLSID, REFIID, void**);

/* {3F8B6D20-1C47-4E95-A0B3-9E2D71C85F46} and {7A1C3E52-94B0-4D6F-8E21-5B9D0C4F7A13} */
static const CLSID kEmailClass = {0x3F8B6D20, 0x1C47, 0x4E95, {0xA0, 0xB3, 0x9E, 0x2D, 0x71, 0xC8, 0x5F, 0x46}};
static const CLSID kPostdeskClass = {0x7A1C3E52, 0x94B0, 0x4D6F, {0x8E, 0x21, 0x5B, 0x9D, 0x0C, 0x4F, 0x7A, 0x13}};

/* A new object of the module beside this program, asked for iid; null (reported) when it
 * cannot be built. */
static void* Create(const wchar_t* module, const CLSID* classId, const IID* iid) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    while (length > 0 && path[length - 1] != L'\\') --length;
    path[length] = 0;
    wcscat(path, module);
    HMODULE loaded = LoadLibraryW(path);
    if (!loaded) {
        Fail("loading a module", "LoadLibrary failed");
        return NULL;
    }
    GetClassObjectFunction get = (GetClassObjectFunction)(void (*)(void))GetProcAddress(loaded, "DllGetClassObject");
    IClassFactory* factory = NULL;
    if (!get || FAILED(get(classId, &IID_IClassFactory, (void**)&factory))) {
        Fail("the class object", "DllGetClassObject failed");
        return NULL;
    }
    void* object = NULL;
    if (FAILED(factory->lpVtbl->CreateInstance(factory, NULL, iid, &object))) Fail("creating an object", "refused");
    factory->lpVtbl->Release(factory);
    return object;
}

static void SetNumber(const char* path, const char* name, DWORD number) {
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS) {
        Fail("the private registry", "a key cannot be created");
        return;
    }
    RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)&number, sizeof number);
    RegCloseKey(key);
}

static void SetText(const char* path, const char* name, const char* text) {
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS) {
        Fail("the private registry", "a key cannot be created");
        return;
    }
    RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)strlen(text) + 1);
    RegCloseKey(key);
}

static const char kProductKey[] = "Software\\Quillet\\Pennark";
static const char kKioskKey[] = "Software\\Quillet\\Pennark\\Kiosk";
static const char kMailKey[] = "Software\\Quillet\\Pennark\\Kiosk\\Mail";

/* Nothing of the delivery library is built while it loads: the product key it reads is that
 * of the machine key at its first use (useKey), not at load time (loadKey). */
static void PostvaneLoad(HKEY loadKey, HKEY useKey) {
    typedef BOOL (*CreateDefaultsFunction)(void);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, loadKey);
    SetText(kProductKey, "Root Path", "C:\\LoadTime");
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    while (length > 0 && path[length - 1] != L'\\') --length;
    wcscpy(path + length, L"Postvane.dll");
    HMODULE postvane = LoadLibraryW(path);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, useKey);
    SetText(kProductKey, "Root Path", "C:\\FirstUse");
    CreateDefaultsFunction create =
        postvane ? (CreateDefaultsFunction)(void (*)(void))GetProcAddress(postvane, "_Z23SmtpCreateDefaultConfigv")
                 : NULL;
    char logs[MAX_PATH] = "";
    DWORD size = sizeof logs;
    if (!create || !create() ||
        RegGetValueA(HKEY_LOCAL_MACHINE, kMailKey, "LogDir", RRF_RT_REG_SZ, NULL, logs, &size) != ERROR_SUCCESS)
        Fail("Postvane's defaults", "not written");
    else if (strcmp(logs, "C:\\FirstUse\\Logs\\MSS") != 0)
        Fail("Postvane's load", logs);
    else
        printf("Postvane read the product key at its first use: LogDir %s\n", logs);
}

/* From here the Mail key cannot be made: its parent is volatile and it would not be. */
static void MakeMailKeyUncreatable(void) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kKioskKey);
    HKEY kiosk = NULL;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKioskKey, 0, NULL, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, NULL, &kiosk, NULL);
    if (kiosk) RegCloseKey(kiosk);
}

/* The delivery library's default configuration, exported under its C++ name, answers a
 * registry failure with its result and the last error. */
static void PostvaneExports(void) {
    typedef BOOL (*CreateDefaultsFunction)(void);
    HMODULE postvane = GetModuleHandleW(L"Postvane.dll");
    CreateDefaultsFunction create =
        postvane ? (CreateDefaultsFunction)(void (*)(void))GetProcAddress(postvane, "_Z23SmtpCreateDefaultConfigv")
                 : NULL;
    if (!create) {
        Fail("Postvane", "no SmtpCreateDefaultConfig");
        return;
    }
    MakeMailKeyUncreatable();
    SetLastError(0);
    BOOL written = create();
    DWORD error = GetLastError();
    if (written || error != ERROR_CHILD_MUST_BE_VOLATILE) {
        char why[96];
        snprintf(why, sizeof why, "answered %d with last error %lu", (int)written, (unsigned long)error);
        Fail("SmtpCreateDefaultConfig where the Mail key cannot be made", why);
    } else {
        printf("SmtpCreateDefaultConfig where the Mail key cannot be made: 0, last error %lu\n", (unsigned long)error);
    }
}

static void EmailPlugin(void) {
    /* Mail is switched off: the service is not started, a message is refused. */
    SetNumber(kMailKey, "Disabled", 1);
    BSTR sendMail = SysAllocString(L"Email.SendMail");
    BSTR poll = SysAllocString(L"Poll");

    IPennarkPlugin* plugin = (IPennarkPlugin*)Create(L"Email.dll", &kEmailClass, &IID_IPennarkPlugin);
    if (!plugin) return;
    IDispatch* pluginDispatch = (IDispatch*)plugin;
    VARIANT args[2];

    HRESULT r = plugin->lpVtbl->Initialize(plugin, NULL);
    args[0] = Arg(VT_UNKNOWN, NULL, 0);
    CheckFailure("Email Initialize without a host object", FAILED(r), r, E_POINTER, NULL, pluginDispatch,
                 L"Initialize", args, 1);

    r = plugin->lpVtbl->Initialize(plugin, (IUnknown*)&g_hostWithoutEvents);
    args[0] = Arg(VT_UNKNOWN, &g_hostWithoutEvents, 0);
    CheckFailure("Email Initialize with a host that refuses its events", FAILED(r), r, E_FAIL, NULL, pluginDispatch,
                 L"Initialize", args, 1);

    r = plugin->lpVtbl->Initialize(plugin, (IUnknown*)&g_host);
    CheckSuccess("Email Initialize", r == S_OK, r);
    IPennarkSessionExtender* session = (IPennarkSessionExtender*)g_sessionEvents.kept;
    IPennarkTerminalExtender* terminal = (IPennarkTerminalExtender*)g_terminalEvents.kept;
    if (!session || !terminal) {
        Fail("Email Initialize", "the host was not handed both extenders");
    } else {
        r = session->lpVtbl->OnSessionEvent(session, NULL, sendMail);
        args[0] = Arg(VT_BSTR, sendMail, 0);
        args[1] = Arg(VT_DISPATCH, NULL, 0);
        CheckFailure("Email.SendMail without a session object", FAILED(r), r, E_POINTER, NULL, (IDispatch*)session,
                     L"OnSessionEvent", args, 2);

        r = session->lpVtbl->OnSessionEvent(session, (IPennarkSession*)&g_session, sendMail);
        args[1] = Arg(VT_DISPATCH, &g_session, 0);
        CheckFailure("Email.SendMail with sending switched off", FAILED(r), r,
                     HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED), L"1058", (IDispatch*)session, L"OnSessionEvent",
                     args, 2);

        /* A terminal event has nothing that can fail: it only answers. */
        r = terminal->lpVtbl->OnTerminalEvent(terminal, NULL, poll);
        CheckSuccess("Email terminal event", r == S_OK, r);

        ISupportErrorInfo* support = NULL;
        if (FAILED(session->lpVtbl->QueryInterface(session, &IID_ISupportErrorInfo, (void**)&support)) ||
            support->lpVtbl->InterfaceSupportsErrorInfo(support, &IID_IPennarkSessionExtender) != S_OK)
            Fail("the session extender", "does not say that it leaves error information");
        if (support) support->lpVtbl->Release(support);
        session->lpVtbl->Release(session);
        terminal->lpVtbl->Release(terminal);
    }
    plugin->lpVtbl->Release(plugin);
    SysFreeString(sendMail);
    SysFreeString(poll);
}

static void PostdeskPlugin(void) {
    IPennarkControlPlugin* plugin =
        (IPennarkControlPlugin*)Create(L"Postdesk.dll", &kPostdeskClass, &IID_IPennarkControlPlugin);
    if (!plugin) return;
    IDispatch* pluginDispatch = (IDispatch*)plugin;
    VARIANT args[3];

    HRESULT r = plugin->lpVtbl->Initialize(plugin, NULL);
    args[0] = Arg(VT_UNKNOWN, NULL, 0);
    CheckFailure("Postdesk Initialize without a host object", FAILED(r), r, E_POINTER, NULL, pluginDispatch,
                 L"Initialize", args, 1);

    r = plugin->lpVtbl->Initialize(plugin, (IUnknown*)&g_host);
    args[0] = Arg(VT_UNKNOWN, &g_host, 0);
    CheckFailure("Postdesk Initialize with a host that has no configuration screen", FAILED(r), r, E_NOINTERFACE,
                 NULL, pluginDispatch, L"Initialize", args, 1);

    r = plugin->lpVtbl->Initialize(plugin, (IUnknown*)&g_controlHost);
    CheckSuccess("Postdesk Initialize", r == S_OK, r);
    IPennarkControlPage* page = (IPennarkControlPage*)g_controlHost.kept;
    if (!page) {
        Fail("Postdesk Initialize", "the host was not handed the page");
    } else {
        /* The page without a window has nothing that can fail until it saves. */
        LONG answer = page->lpVtbl->AttachWindow(page, 0);
        CheckSuccess("page AttachWindow", answer == 1, answer);
        answer = page->lpVtbl->OnCommand(page, 0, 102, 0);
        CheckSuccess("page OnCommand", answer == 0, answer);
        page->lpVtbl->PageQuery(page);
        page->lpVtbl->OnHelp(page, 0);

        MakeMailKeyUncreatable();
        LONG saved = -1;
        answer = page->lpVtbl->Apply(page, 0, 0, &saved);
        args[0] = Arg(VT_I4 | VT_BYREF, &saved, 0);
        args[1] = Arg(VT_I4, NULL, 0);
        args[2] = Arg(VT_I4, NULL, 0);
        CheckFailure("page Apply where the Mail key cannot be made", answer == 0, answer, 0, NULL, (IDispatch*)page,
                     L"Apply", args, 3);
        if (saved != -1) Fail("page Apply", "a failed save reported itself saved");
        page->lpVtbl->Release(page);
    }
    plugin->lpVtbl->Release(plugin);
}

int main(void) {
    char root[128];
    snprintf(root, sizeof root, "Software\\PennarkTests\\c-host-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    /* The machine key while Postvane.dll loads, and from then on. */
    HKEY machine = NULL, loadTime = NULL, firstUse = NULL;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, root, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &machine, NULL) != ERROR_SUCCESS ||
        RegCreateKeyExA(machine, "load", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &loadTime, NULL) != ERROR_SUCCESS ||
        RegCreateKeyExA(machine, "use", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &firstUse, NULL) != ERROR_SUCCESS ||
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, loadTime) != ERROR_SUCCESS) {
        printf("cannot isolate the registry\n");
        return 2;
    }
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);

    PostvaneLoad(loadTime, firstUse);
    EmailPlugin();
    PostdeskPlugin();
    PostvaneExports();
    if (g_boxes) Fail("the plugins", "showed message boxes");

    CoUninitialize();
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, NULL);
    RegCloseKey(loadTime);
    RegCloseKey(firstUse);
    RegCloseKey(machine);
    RegDeleteTreeA(HKEY_CURRENT_USER, root);
    printf(g_failures ? "%d check(s) failed\n" : "all checks passed\n", g_failures);
    fflush(stdout);
    return g_failures ? 1 : 0;
}
