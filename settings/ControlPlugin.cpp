// The control plugin and the page base: messages, field checks and context help.
#include "ControlPlugin.h"
#include <htmlhelp.h>
#include <prsht.h>
#include <climits>
#include "AppMessages.h"
#include "HtmlHelp.h"
#include "PKLib.h"
#include "Page_Email.h"

namespace {

// Source position of the host query that Initialize checks.
const char kQuerySource[] = "Apprig/Include/co";
const int kQueryLine = 114;

const char kPageName[] = "Page_Email";

const UINT kWarnStyle = MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2;  // 0x131

const char kFieldHead[] = "Поле \"";
const char kCancelCorrects[] = "\r\n\"Отмена\" - исправить значение.";
const char kEmptyValue[] = "пустое/незаданное значение";
const char kBlanksAt[] = "пробелы в ";
const char kBeginning[] = "начале";
const char kEnd[] = "конце";
const char kOfText[] = " текста";
const char kBlanksAdvice[] =
    " (во избежание двусмысленности дальнейшего использования данного значения рекомендуется не "
    "вставлять пробелы в начале и в конце)";
const char kPasswordName[] = "Пароль";
const char kPasswordMismatch[] = "повторный ввод не соответствует паролю, введите пароль ещё раз.";
const char kIntegerFormat[] = "ошибка формата целого числа (\"";

const char kHelpFont[] = "MS Shell Dlg, 8";

string FieldText(const string& name, const string& problem) { return kFieldHead + name + "\": " + problem; }

string WithHint(const string& problem, const string& hint) {
    return hint.HasText() ? problem + " (" + hint + ")" : problem;
}

}  // namespace

int TruncateToInt(double value) {
    if (!(value > double(INT_MIN) - 1.0)) return INT_MIN;  // NaN goes here too
    if (!(value < double(INT_MAX) + 1.0)) return INT_MAX;
    return static_cast<int>(value);
}

// ---- Control plugin ---------------------------------------------------------------------

ControlPlugin::ControlPlugin(ITypeInfo* typeInfo) : PennarkObject2<IPennarkControlPlugin>(typeInfo) {}

HRESULT ControlPlugin::Initialize(IUnknown* hostObject) {
    return frame::RunMethod([&] {
        CoRef<IPennarkControlHost> host;
        CoCallEx(hostObject ? hostObject->QueryInterface(__uuidof(IPennarkControlHost), host.outv()) : E_POINTER,
                 frame::ModuleHandle(), kQuerySource, kQueryLine);
        CoString path(GetModuleFileNameA(frame::ModuleHandle()));
        CoRef<Page_Email> page(new Page_Email(host.get()), false);
        // The result is not looked at: a host that did not take the page let it go.
        host->AddPage(page.get(), path, CoString(kPageName));
    });
}

// ---- Page base ------------------------------------------------------------------------------

ControlPluginPage::ControlPluginPage(IPennarkControlHost* host, const string& title)
    : host_(host), window_(nullptr), title_(title) {}

ControlPluginPage::~ControlPluginPage() {}

LONG ControlPluginPage::AttachWindow(LONG window) {
    window_ = WindowFromHost(window);
    return 1;
}
LONG ControlPluginPage::PageQuery() { return 0; }
LONG ControlPluginPage::OnCommand(unsigned short, unsigned short, LONG) { return 0; }
LONG ControlPluginPage::OnHelp(LONG) { return 0; }
LONG ControlPluginPage::Apply(LONG, LONG, LONG*) { return 1; }

HWND ControlPluginPage::GetWindow() { return window_; }

void ControlPluginPage::FocusControl(HWND control) {
    WindowPort page(window_);
    // Only a child page sits in a sheet: the "parent" of a pop-up page is its owner.
    HWND parent = page.GetParent();
    if (parent && (page.GetWindowLong(GWL_STYLE) & WS_CHILD)) {
        WindowPort sheet(parent);
        LRESULT index = sheet.Send(PSM_HWNDTOINDEX, reinterpret_cast<WPARAM>(window_), 0);
        sheet.Post(PSM_SETCURSEL, WPARAM(index), 0);
    }
    page.Post(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), 1);
}

bool ControlPluginPage::WarnField(HWND control, const string& name, const string& problem) {
    if (ShowMessage(FieldText(name, problem) + kCancelCorrects, kWarnStyle, nullptr, nullptr, 0) != IDCANCEL)
        return false;
    FocusControl(control);
    return true;
}

void ControlPluginPage::FieldError(HWND control, const string& name, const string& problem) {
    ShowError(FieldText(name, problem), nullptr, nullptr, 0);
    FocusControl(control);
}

int ControlPluginPage::ShowMessage(const string& text, UINT style, HWND owner, const char* caption,
                                   unsigned flags) {
    if (!owner && !(flags & kPageNoOwner)) owner = window_;
    if (!caption && !(flags & kPageNoCaption)) caption = title_.c_str();
    return AppMessage(text, style, owner, caption, flags);
}

void ControlPluginPage::ShowError(const string& text, HWND owner, const char* caption, unsigned flags) {
    if (!owner && !(flags & kPageNoOwner)) owner = window_;
    if (!caption && !(flags & kPageNoCaption)) caption = title_.c_str();
    ErrorMessage(text, owner, caption, flags);
}

bool ControlPluginPage::CheckNotEmpty(HWND control, const string& name, const string& hint) {
    if (ReadWindowText(control).HasText()) return true;
    return !WarnField(control, name, WithHint(kEmptyValue, hint) + ".");
}

bool ControlPluginPage::CheckSpaces(HWND control, const string& name, const string& hint) {
    string value = ReadWindowText(control);
    if (value.IsEmpty()) return true;
    const char* where = nullptr;
    if (value[0] == ' ') where = kBeginning;
    else if (value[value.Length() - 1] == ' ') where = kEnd;
    if (!where) return true;
    string problem = string(kBlanksAt) + where + kOfText;
    problem = (hint.HasText() ? WithHint(problem, hint) : problem + kBlanksAdvice) + ".";
    return !WarnField(control, name, problem);
}

bool ControlPluginPage::CheckPasswordPair(HWND password, HWND repetition, const string& name, const string& hint) {
    string field = name.HasText() ? name : string(kPasswordName);
    if (lstrcmpA(ReadWindowText(password).c_str(), ReadWindowText(repetition).c_str()) != 0) {
        FieldError(password, field, kPasswordMismatch);
        return false;
    }
    return CheckNotEmpty(password, field, hint) && CheckSpaces(password, field, hint);
}

bool ControlPluginPage::ReadIntField(HWND control, const string& name, int* out) {
    string value = ReadWindowText(control);
    int number = 0;
    try {
        number = TruncateToInt(ScanNumber(2, value.c_str(), 0, true));
    } catch (const NumericSyntax&) {
        FieldError(control, name, kIntegerFormat + value + "\")");
        return false;
    }
    if (out) *out = number;
    return true;
}

// ---- Context help -----------------------------------------------------------------------------

string HelpFilePath() {
    string module = GetModuleFileNameA(frame::ModuleHandle());
    return GetParentPath(module) + GetFileName(module) + ".chm";
}

void ShowContextHelp(HWND control, const HelpTopic* table) {
    if (!table) return;
    int id = ControlPort(control).GetControlId();
    const HelpTopic* row = table;
    while ((row->controlId || row->topic) && row->controlId != id) ++row;
    if (!row->controlId && !row->topic) return;

    string file = FindProgramFile(nullptr, HelpFilePath(), "", "");
    HH_POPUP popup = {};
    popup.cbStruct = sizeof popup;  // 52 bytes on i686
    popup.hinst = nullptr;
    popup.idString = UINT(row->topic);
    popup.pszText = nullptr;
    popup.pt.x = popup.pt.y = -1;
    popup.clrForeground = popup.clrBackground = COLORREF(-1);
    popup.rcMargins = {-1, -1, -1, -1};
    popup.pszFont = kHelpFont;
    CallHtmlHelpA(control, file.c_str(), HH_DISPLAY_TEXT_POPUP, reinterpret_cast<DWORD_PTR>(&popup));
}
