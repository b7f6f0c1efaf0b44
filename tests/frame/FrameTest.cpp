// The plugin frame as the host sees it: Email.dll's class object and factory, the dispatch
// parts of its objects, the exception translation of Invoke, and registration.
#include <gtest/gtest.h>
#include <stdexcept>
#include "FrameTestSupport.h"
#include "PluginModule.h"
#include "TestSupport.h"

using namespace host_test;

namespace {

// The reference count of the type information that Email's factory holds: back at its
// first value when nothing the test built is alive any more.
ULONG PluginTypeInfoRefs() {
    ITypeInfo* info = nullptr;
    if (FAILED(GetPennarkixTypeInfo(__uuidof(IPennarkPlugin), &info))) return 0;
    ULONG refs = RefCount(info);
    info->Release();
    return refs - 1;
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSeams();
        baseline_ = PluginTypeInfoRefs();
    }
    void TearDown() override {
        EXPECT_EQ(baseline_, PluginTypeInfoRefs()) << "an object of the frame stayed alive";
        EXPECT_TRUE(MessageBoxes().empty()) << "unexpected message box: " << MessageBoxes()[0].text;
    }
    IClassFactory* Factory() {
        IClassFactory* factory = nullptr;
        EXPECT_EQ(S_OK, Email().getClassObject(kEmailClassId, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        return factory;
    }
    static const EmailModule& Email() { return EmailModule::Get(); }

    ComScope com_;
    ULONG baseline_ = 0;
};

// A stand-in for an outer object: the factory must never call it.
struct StrictOuter : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override {
        ADD_FAILURE() << "the outer object was asked for an interface";
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { ADD_FAILURE() << "the outer object was counted"; return 2; }
    ULONG STDMETHODCALLTYPE Release() override { ADD_FAILURE() << "the outer object was released"; return 1; }
};

const CLSID kForeignClassId = {0x7A1C3E52, 0x94B0, 0x4D6F, {0x8E, 0x21, 0x5B, 0x9D, 0x0C, 0x4F, 0x7A, 0x13}};

}  // namespace

TEST_F(FrameTest, ClassObjectAnswersOnlyItsClassAndTheFactoryInterfaces) {
    void* const untouched = reinterpret_cast<void*>(0x1234);
    struct Row {
        const char* what;
        const CLSID* classId;
        const IID* iid;
        HRESULT expected;
        bool outSet;       // a factory was handed out
        bool outUntouched; // the out-pointer keeps what the caller put there
    } rows[] = {
        {"a foreign class", &kForeignClassId, &IID_IClassFactory, E_NOINTERFACE, false, true},
        {"IDispatch of the factory", &kEmailClassId, &IID_IDispatch, E_NOINTERFACE, false, false},
        {"IClassFactory", &kEmailClassId, &IID_IClassFactory, S_OK, true, false},
        {"IUnknown", &kEmailClassId, &IID_IUnknown, S_OK, true, false},
    };
    for (const Row& row : rows) {
        void* out = untouched;
        EXPECT_EQ(row.expected, Email().getClassObject(*row.classId, *row.iid, &out)) << row.what;
        if (row.outSet) {
            ASSERT_NE(nullptr, out) << row.what;
            EXPECT_EQ(0u, static_cast<IUnknown*>(out)->Release()) << row.what << ": the host's is the only reference";
        } else if (row.outUntouched) {
            EXPECT_EQ(untouched, out) << row.what;
        } else {
            EXPECT_EQ(nullptr, out) << row.what;
        }
        EXPECT_EQ(baseline_, PluginTypeInfoRefs()) << row.what << ": no factory stays alive";
    }
    EXPECT_EQ(E_INVALIDARG, Email().getClassObject(kEmailClassId, IID_IClassFactory, nullptr))
        << "the null out-pointer reaches the factory's QueryInterface";
}

TEST_F(FrameTest, FactoryBuildsTheObjectForTheThreeInterfacesOnly) {
    IClassFactory* factory = Factory();
    ASSERT_NE(nullptr, factory);
    StrictOuter outer;
    struct Row {
        const char* what;
        IUnknown* outer;
        const IID* iid;
        HRESULT expected;
    } rows[] = {
        {"IPennarkPlugin", nullptr, &__uuidof(IPennarkPlugin), S_OK},
        {"IDispatch", nullptr, &IID_IDispatch, S_OK},
        {"IUnknown", nullptr, &IID_IUnknown, S_OK},
        {"an outer object is ignored", &outer, &__uuidof(IPennarkPlugin), S_OK},
        {"IClassFactory", nullptr, &IID_IClassFactory, E_NOINTERFACE},
        {"IObjectSafety", nullptr, &IID_IObjectSafety, E_NOINTERFACE},
        {"another host interface", nullptr, &__uuidof(IPennarkTerminalExtender), E_NOINTERFACE},
    };
    for (const Row& row : rows) {
        void* out = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(row.expected, factory->CreateInstance(row.outer, *row.iid, &out)) << row.what;
        if (row.expected != S_OK) {
            EXPECT_EQ(nullptr, out) << row.what;
            continue;
        }
        ASSERT_NE(nullptr, out) << row.what;
        IUnknown* object = static_cast<IUnknown*>(out);
        IPennarkPlugin* plugin = nullptr;
        ASSERT_EQ(S_OK, object->QueryInterface(__uuidof(IPennarkPlugin), reinterpret_cast<void**>(&plugin)));
        EXPECT_EQ(static_cast<void*>(plugin), out) << row.what << ": the object itself is handed out";
        EXPECT_EQ(1u, plugin->Release()) << row.what << ": built with one reference";
        EXPECT_EQ(0u, object->Release()) << row.what;
    }
    EXPECT_EQ(E_INVALIDARG, factory->CreateInstance(nullptr, IID_IDispatch, nullptr));

    ULONG before = RefCount(factory);
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_GT(RefCount(factory), before) << "a lock pins the factory";
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(before, RefCount(factory));
    EXPECT_EQ(0u, factory->Release());
}

TEST_F(FrameTest, DispatchObjectAnswersItsInterfacesAndParts) {
    IClassFactory* factory = Factory();
    IDispatch* object = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object)));
    factory->Release();

    struct Row {
        const char* what;
        const IID* iid;
        HRESULT expected;
        bool self;  // the object's own pointer (otherwise a part)
    } rows[] = {
        {"IUnknown", &IID_IUnknown, S_OK, true},
        {"IDispatch", &IID_IDispatch, S_OK, true},
        {"IPennarkPlugin", &__uuidof(IPennarkPlugin), S_OK, true},
        {"IObjectSafety", &IID_IObjectSafety, S_OK, false},
        {"ISupportErrorInfo", &IID_ISupportErrorInfo, S_OK, false},
        {"IClassFactory", &IID_IClassFactory, E_NOINTERFACE, false},
        {"IPennarkControlPlugin", &__uuidof(IPennarkControlPlugin), E_NOINTERFACE, false},
    };
    for (const Row& row : rows) {
        void* out = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(row.expected, object->QueryInterface(*row.iid, &out)) << row.what;
        if (row.expected != S_OK) {
            EXPECT_EQ(nullptr, out) << row.what;
            continue;
        }
        EXPECT_EQ(row.self, out == static_cast<void*>(object)) << row.what;
        EXPECT_EQ(2u, RefCount(object)) << row.what << ": the reference counts on the object";
        EXPECT_EQ(1u, static_cast<IUnknown*>(out)->Release()) << row.what;
    }
    EXPECT_EQ(E_INVALIDARG, object->QueryInterface(IID_IUnknown, nullptr));

    IObjectSafety* safety = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)));
    for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &__uuidof(IPennarkPlugin)}) {
        DWORD supported = 0, enabled = 0;
        EXPECT_EQ(S_OK, safety->GetInterfaceSafetyOptions(*iid, &supported, &enabled));
        EXPECT_EQ(3u, supported);
        EXPECT_EQ(3u, enabled) << "safe for untrusted callers and data";
    }
    safety->Release();

    ISupportErrorInfo* errors = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&errors)));
    EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(IID_IDispatch));
    EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(__uuidof(IPennarkPlugin)));
    EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(IID_IUnknown));
    errors->Release();

    UINT count = 0;
    EXPECT_EQ(S_OK, object->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(E_INVALIDARG, object->GetTypeInfoCount(nullptr));
    EXPECT_EQ(E_INVALIDARG, object->GetTypeInfo(0, 0, nullptr));
    ITypeInfo *first = nullptr, *fifth = nullptr;
    EXPECT_EQ(S_OK, object->GetTypeInfo(0, 0, &first));
    EXPECT_EQ(S_OK, object->GetTypeInfo(5, 0x419, &fifth));
    EXPECT_EQ(first, fifth) << "every index and locale give the one type information";
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, first->GetTypeAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(attributes->guid, __uuidof(IPennarkPlugin)));
    first->ReleaseTypeAttr(attributes);
    first->Release();
    fifth->Release();

    EXPECT_EQ(0u, object->Release());
}

// ---- Invoke ----------------------------------------------------------------------------------

namespace {

// A terminal extender of the test's own whose OnTerminalEvent fails as its name says.
class Thrower : public PennarkObject2<IPennarkTerminalExtender> {
public:
    HRESULT STDMETHODCALLTYPE Reserved1(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved2(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnTerminalEvent(IUnknown*, BSTR name) override {
        return frame::RunMethod([&] { Fail(Narrow(name)); });
    }
    HRESULT STDMETHODCALLTYPE Reserved4(VARIANT, VARIANT, VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved5(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved6(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved7(VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Reserved8(VARIANT) override { return S_OK; }

    void Fail(const std::string& how) {
        if (how == "OleAutoException") throw OleAutoException(HRESULT(0x80041234), "причина", "Kiosk Source", "описание");
        if (how == "OleAutoException without texts") throw OleAutoException(HRESULT(0x80041234), "причина", "", "");
        if (how == "CoError") throw CoError(E_OUTOFMEMORY, "нет памяти");
        if (how == "OleError") throw OleError(DISP_E_TYPEMISMATCH, "не тот тип");
        if (how == "WindowsError") throw WindowsError(5, "Plugin/Test", 7);
        if (how == "QLAppException") throw QLAppException("ошибка приложения");
        if (how == "std::exception") throw std::runtime_error("runtime");
        if (how == "int") throw 42;
        if (how == "error information") LeaveErrorInfo(L"оставлено", 77);
        if (how == "nested failure") {
            // Another object's failed Invoke inside this method is that object's alone.
            Thrower* inner = new Thrower;
            ExcepInfo excep;
            EXPECT_EQ(DISP_E_EXCEPTION, InvokeByName(inner, L"OnTerminalEvent", {Object(nullptr), Text(L"WindowsError")}, &excep));
            inner->Release();
        }
    }
    static void LeaveErrorInfo(const wchar_t* description, DWORD helpContext) {
        ICreateErrorInfo* create = nullptr;
        ASSERT_EQ(S_OK, CreateErrorInfo(&create));
        create->SetDescription(const_cast<LPOLESTR>(description));
        create->SetHelpContext(helpContext);
        IErrorInfo* info = nullptr;
        create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
        SetErrorInfo(0, info);
        info->Release();
        create->Release();
    }
};

}  // namespace

TEST_F(FrameTest, InvokeTurnsEveryFailureIntoExceptionInformation) {
    const char kQP[] = "Quillet Pennark";
    struct Row {
        const wchar_t* how;
        HRESULT expected;
        WORD code;
        const char* source;
        const char* description;
    } rows[] = {
        {L"OleAutoException", DISP_E_EXCEPTION, 0x1234, "Kiosk Source", "описание"},
        {L"OleAutoException without texts", DISP_E_EXCEPTION, 0x1234, kQP, "причина"},
        {L"CoError", DISP_E_EXCEPTION, 0x000E, kQP, "нет памяти"},
        {L"OleError", DISP_E_EXCEPTION, 0x0005, kQP, "не тот тип"},
        {L"WindowsError", DISP_E_EXCEPTION, 59999, kQP, "Windows system call error 5 (00000005) at \"Plugin/Test\":7"},
        {L"QLAppException", DISP_E_EXCEPTION, 59999, kQP, "ошибка приложения"},
        {L"std::exception", DISP_E_EXCEPTION, 59999, kQP, "Необработанная ошибка неизвестного типа"},
        {L"int", DISP_E_EXCEPTION, 59999, kQP, "Необработанная ошибка неизвестного типа"},
        {L"error information", DISP_E_EXCEPTION, 77, kQP, "оставлено"},
        {L"nested failure", S_OK, 0, nullptr, nullptr},
        {L"nothing", S_OK, 0, nullptr, nullptr},
    };
    Thrower* thrower = new Thrower;
    for (const Row& row : rows) {
        std::string what = Narrow(row.how);
        ExcepInfo excep;
        EXPECT_EQ(row.expected, InvokeByName(thrower, L"OnTerminalEvent", {Object(nullptr), Text(row.how)}, &excep))
            << what;
        if (row.expected == S_OK) {
            EXPECT_EQ(nullptr, excep.bstrDescription) << what << ": a success leaves EXCEPINFO alone";
            continue;
        }
        EXPECT_EQ(row.code, excep.wCode) << what;
        EXPECT_EQ(DISP_E_EXCEPTION, excep.scode) << what;
        EXPECT_EQ(row.source, excep.Source()) << what;
        EXPECT_EQ(row.description, excep.Description()) << what;
        EXPECT_EQ(nullptr, excep.pfnDeferredFillIn) << what;

        EXPECT_EQ(row.expected, InvokeByName(thrower, L"OnTerminalEvent", {Object(nullptr), Text(row.how)}, nullptr))
            << what << ": without EXCEPINFO only the result remains";
        IErrorInfo* left = nullptr;
        EXPECT_NE(S_OK, GetErrorInfo(0, &left)) << what << ": the error information was taken";
        if (left) left->Release();
    }

    // Error information left over from an earlier call is cleared before the method runs.
    Thrower::LeaveErrorInfo(L"stale", 1);
    EXPECT_EQ(S_OK, InvokeByName(thrower, L"OnTerminalEvent", {Object(nullptr), Text(L"nothing")}, nullptr));
    EXPECT_EQ(0u, thrower->Release());
}

TEST_F(FrameTest, DirectCallsAnswerWithTheFailureAndInvokesErrorText) {
    struct Row {
        const wchar_t* how;
        HRESULT expected;
    } rows[] = {
        {L"OleAutoException", HRESULT(0x80041234)},
        {L"OleAutoException without texts", HRESULT(0x80041234)},
        {L"CoError", E_OUTOFMEMORY},
        {L"OleError", DISP_E_TYPEMISMATCH},
        {L"WindowsError", HRESULT_FROM_WIN32(5)},
        {L"QLAppException", E_FAIL},
        {L"std::exception", E_FAIL},
        {L"int", E_FAIL},
    };
    Thrower* thrower = new Thrower;
    for (const Row& row : rows) {
        std::string what = Narrow(row.how);
        ExcepInfo excep;
        ASSERT_EQ(DISP_E_EXCEPTION, InvokeByName(thrower, L"OnTerminalEvent", {Object(nullptr), Text(row.how)}, &excep));
        EXPECT_EQ(row.expected, thrower->OnTerminalEvent(nullptr, CoString(row.how))) << what;
        IErrorInfo* info = nullptr;
        ASSERT_EQ(S_OK, GetErrorInfo(0, &info)) << what;
        BSTR description = nullptr, source = nullptr;
        DWORD help = 0;
        info->GetDescription(&description);
        info->GetSource(&source);
        info->GetHelpContext(&help);
        info->Release();
        EXPECT_EQ(excep.Description(), CoString::Narrow(description).str()) << what;
        EXPECT_EQ(excep.Source(), CoString::Narrow(source).str()) << what;
        EXPECT_EQ(excep.wCode, help) << what;
        SysFreeString(description);
        SysFreeString(source);
    }
    // A direct call that succeeds leaves no error information, also none from before.
    Thrower::LeaveErrorInfo(L"stale", 1);
    EXPECT_EQ(S_OK, thrower->OnTerminalEvent(nullptr, CoString(L"nothing")));
    IErrorInfo* left = nullptr;
    EXPECT_NE(S_OK, GetErrorInfo(0, &left));
    if (left) left->Release();
    EXPECT_EQ(0u, thrower->Release());
}

// ---- Module entry points ------------------------------------------------------------------------

namespace {

// An interface the host's type library does not know.
struct IUnknownToHost : IDispatch {};
class Orphan : public PennarkObject2<IUnknownToHost> {
public:
    explicit Orphan(ITypeInfo* info) : PennarkObject2<IUnknownToHost>(info) {}
};

// A class whose construction fails, as the plugin's does when its registry key is refused.
class Unbuildable : public PennarkObject2<IPennarkPlugin> {
public:
    explicit Unbuildable(ITypeInfo* info) : PennarkObject2<IPennarkPlugin>(info) {
        throw WindowsError(ERROR_ACCESS_DENIED, "qlbase/RegKey", 21);
    }
    HRESULT STDMETHODCALLTYPE Initialize(IUnknown*) override { return S_OK; }
};

const frame::PluginModule kTestModule = {
    {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}}, "Test", "Software\\Test"};

}  // namespace
__CRT_UUID_DECL(IUnknownToHost, 0x9d6c1b2e, 0x3a4f, 0x4e51, 0x8c, 0x7d, 0x21, 0x0f, 0x6b, 0x3e, 0x59, 0xa4)

TEST_F(FrameTest, ClassObjectThatCannotBeBuiltIsALoadErrorInABox) {
    void* out = nullptr;
    EXPECT_EQ(E_FAIL, frame::GetClassObject<Orphan>(kTestModule, kTestModule.classId, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    std::vector<MessageBoxCall> boxes = MessageBoxes();
    ASSERT_EQ(1u, boxes.size());
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, sizeof program);
    std::string head = "Ошибка загрузки модуля \"" + std::string(program) +
                       "\": COM call error 0x8002802B at \"frame/PennarkObject\":53";
    EXPECT_EQ(head, boxes[0].text.substr(0, head.size())) << boxes[0].text;
    EXPECT_EQ(ProgramName(), boxes[0].caption);
    EXPECT_EQ(nullptr, boxes[0].window);
    EXPECT_EQ(UINT(MB_OK | MB_ICONERROR), boxes[0].type);
    ResetSeams();
}

TEST_F(FrameTest, ObjectThatCannotBeBuiltIsAnErrorResultWithItsReason) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, frame::GetClassObject<Unbuildable>(kTestModule, kTestModule.classId, IID_IClassFactory,
                                                       reinterpret_cast<void**>(&factory)));
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), factory->CreateInstance(nullptr, IID_IDispatch, &out))
        << "no exception into the host's creation call";
    EXPECT_EQ(nullptr, out);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
    BSTR description = nullptr;
    info->GetDescription(&description);
    EXPECT_EQ("Windows system call error 5 (00000005) at \"qlbase/RegKey\":21", Narrow(description));
    SysFreeString(description);
    info->Release();
    EXPECT_EQ(0u, factory->Release());
}

TEST_F(FrameTest, RegistrationTwiceLeavesTheSameKeysAndValues) {
    for (int run = 1; run <= 2; ++run) {
        EXPECT_EQ(0, Email().installInit(nullptr, nullptr)) << "run " << run;
        EXPECT_EQ("Quillet Pennark Email Plugin", ClassesText(kEmailClassKey, "")) << "run " << run;
        std::string server = std::string(kEmailClassKey) + "\\InProcServer32";
        EXPECT_EQ(Email().path, ClassesText(server.c_str(), "")) << "run " << run;
        EXPECT_EQ("Both", ClassesText(server.c_str(), "ThreadingModel")) << "run " << run;
        EXPECT_EQ("{3F8B6D20-1C47-4E95-A0B3-9E2D71C85F46}", testing_support::GetRegText(kEmailPluginKey, "CLSID"))
            << "run " << run;
        EXPECT_EQ("60", testing_support::GetRegText(kMailKey, "Retry Timeout")) << "the defaults are written";
        EXPECT_EQ(testing_support::BesideTests("Postvane.dll"), testing_support::GetRegText(kMailKey, "ServiceModule"));
    }
}

TEST_F(FrameTest, RegistrationThatCannotCreateAKeyShowsWhyAndStillReturnsZero) {
    // The plugin key cannot be created below a volatile parent (the registry refuses a
    // lasting key there); the class keys before it are written.
    const char plugins[] = "Software\\Quillet\\Pennark\\Plugins";
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, plugins);
    HKEY volatileParent = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, plugins, 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &volatileParent, nullptr));
    RegCloseKey(volatileParent);
    int result = Email().installInit(nullptr, nullptr);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, plugins);

    EXPECT_EQ(0, result);
    std::vector<MessageBoxCall> boxes = MessageBoxes();
    ASSERT_EQ(1u, boxes.size());
    std::string head = "Ошибка установки модуля \"" + Email().path + "\": Windows system call error 1021 (000003FD) at";
    EXPECT_EQ(head, boxes[0].text.substr(0, head.size())) << boxes[0].text;
    EXPECT_EQ(ProgramName(), boxes[0].caption);
    EXPECT_EQ(nullptr, boxes[0].window);
    EXPECT_EQ(UINT(MB_OK | MB_ICONERROR), boxes[0].type);
    EXPECT_EQ(Email().path, ClassesText((std::string(kEmailClassKey) + "\\InProcServer32").c_str(), ""))
        << "the steps done before stay done";
    EXPECT_EQ("<absent>", testing_support::GetRegText(kMailKey, "ServiceModule")) << "the steps after are not done";
    ResetSeams();
}

TEST_F(FrameTest, ModuleExportsExactlyItsTwoEntryPointsAndLoadsPostvaneAtLoadTime) {
    std::vector<std::string> exports = ExportedNames(Email().module);
    EXPECT_EQ((std::vector<std::string>{"DllGetClassObject", "PennarkPlugin_InstallInit"}), exports);
    std::vector<std::string> imports = ImportedModules(Email().module);
    for (const char* dll : {"Postvane.dll", "Pennarkix.dll", "ole32.dll", "oleaut32.dll"})
        EXPECT_TRUE(Contains(imports, dll)) << "Email.dll imports " << dll;
}
