#include "AutoLayout.h"
#include <commctrl.h>
#include <algorithm>

namespace {
// The subclass id under which a dialog's layout follows its size, and the window property
// through which the layout is found again.
const UINT_PTR kSubclassId = 0x514C4159;  // "QLAY"
const char kLayoutProperty[] = "QlDialogs.AutoLayout";

RECT ClientRectOf(HWND control, HWND dialog) {
    RECT r = {};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// How far an edge moves: by the displacement, or with the opposite edge, or not at all.
void MoveEdges(LONG* low, LONG* high, int lowRule, int highRule, LONG displacement) {
    LONG shift = lowRule == AutoLayout::kMove ? displacement : 0;
    LONG newLow = *low + shift;
    LONG newHigh = highRule == AutoLayout::kStretch ? *high + displacement : *high + shift;
    *low = newLow;
    *high = std::max(newLow, newHigh);
}
}  // namespace

AutoLayout& AutoLayout::On(HWND dialog) {
    if (HANDLE layout = GetPropA(dialog, kLayoutProperty)) return *static_cast<AutoLayout*>(layout);
    return *new AutoLayout(dialog);
}

AutoLayout::AutoLayout(HWND dialog) : dialog_(dialog), design_() {
    // A window that cannot be subclassed (none, or another thread's) gets a layout that
    // never sees a size change; it is then freed with the process.
    if (SetWindowSubclass(dialog, SubclassProcedure, kSubclassId, reinterpret_cast<DWORD_PTR>(this)))
        SetPropA(dialog, kLayoutProperty, this);
}

AutoLayout::~AutoLayout() {
    RemovePropA(dialog_, kLayoutProperty);
    RemoveWindowSubclass(dialog_, SubclassProcedure, kSubclassId);
}

void AutoLayout::SetRules(const Rule* rules, size_t count) {
    RECT client = {};
    GetClientRect(dialog_, &client);
    design_.cx = client.right - client.left;
    design_.cy = client.bottom - client.top;
    controls_.clear();
    for (size_t i = 0; i < count; ++i) {
        Placed placed = {};
        placed.id = rules[i][0];
        std::copy(rules[i], rules[i] + 7, placed.rule);
        HWND control = GetDlgItem(dialog_, placed.id);
        if (control) placed.design = ClientRectOf(control, dialog_);
        controls_.push_back(placed);
    }
}

void AutoLayout::Apply() {
    RECT client = {};
    if (!GetClientRect(dialog_, &client) || controls_.empty()) return;
    const LONG growX = (client.right - client.left) - design_.cx;
    const LONG growY = (client.bottom - client.top) - design_.cy;

    // The new place of every control laid out so far, by rule: later rules follow them.
    std::vector<RECT> placed(controls_.size());
    HDWP batch = BeginDeferWindowPos(int(controls_.size()));
    for (size_t i = 0; i < controls_.size(); ++i) {
        const Placed& c = controls_[i];
        placed[i] = c.design;
        HWND control = GetDlgItem(dialog_, c.id);
        if (!control) continue;

        LONG dx = growX, dy = growY;  // the dialog: its right and bottom edges
        if (c.rule[3] != 0) {
            dx = dy = 0;
            for (size_t r = 0; r < i; ++r) {
                if (controls_[r].id != c.rule[3]) continue;
                const RECT& from = controls_[r].design;
                dx = c.rule[4] == kLeftEdge ? placed[r].left - from.left : placed[r].right - from.right;
                dy = placed[r].bottom - from.bottom;
            }
        } else if (c.rule[4] == kLeftEdge) {
            dx = 0;
        }
        RECT& r = placed[i];
        MoveEdges(&r.left, &r.right, c.rule[1], c.rule[2], dx);
        MoveEdges(&r.top, &r.bottom, c.rule[5], c.rule[6], dy);
        if (batch)
            batch = DeferWindowPos(batch, control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                                   SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (batch) EndDeferWindowPos(batch);
}

LRESULT CALLBACK AutoLayout::SubclassProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                               DWORD_PTR data) {
    AutoLayout* layout = reinterpret_cast<AutoLayout*>(data);
    switch (message) {
    case WM_SIZE: {
        LRESULT result = DefSubclassProc(window, message, wParam, lParam);
        if (wParam != SIZE_MINIMIZED) layout->Apply();
        return result;
    }
    case WM_NCDESTROY:
        delete layout;  // removes the subclass
        return DefSubclassProc(window, message, wParam, lParam);
    default:
        return DefSubclassProc(window, message, wParam, lParam);
    }
}
