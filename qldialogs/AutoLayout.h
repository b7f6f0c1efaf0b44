// Stand-in of the maker's qldialogs library: the controls of a dialog follow its size.
#pragma once
#include <windows.h>
#include <vector>

// The layout of one dialog window. Rules name the controls that follow the dialog as it is
// resized (by the operator, or by a property sheet that fits its pages into its frame);
// controls without a rule stay where they are.
//
// A rule is seven integers:
//   [0] the control id;
//   [1] its left edge: 0 stays, 1 moves by the horizontal displacement;
//   [2] its right edge: 0 keeps the width, 2 moves by the horizontal displacement on its own
//       (the control stretches);
//   [3] the reference: 0 for the dialog's client area, otherwise the id of a control that an
//       earlier rule lays out;
//   [4] the reference's edge whose displacement is followed horizontally: 0 left, 2 right
//       (the dialog's left edge never moves: its right edge moves by the growth in width);
//   [5] the top edge, [6] the bottom edge: as [1] and [2], following the displacement of the
//       reference's bottom edge.
// A control never becomes narrower or lower than nothing.
class AutoLayout {
public:
    typedef int Rule[7];
    enum Edge { kStay = 0, kMove = 1, kStretch = 2 };
    enum ReferenceEdge { kLeftEdge = 0, kRightEdge = 2 };

    // The layout of dialog: built at the first call for that window, owned by the window and
    // freed when the window is destroyed. Later calls for the same window return it.
    static AutoLayout& On(HWND dialog);

    // Takes the rules and the present size of the dialog and of each ruled control as the
    // design that later sizes are measured against. Rules for ids without a control are kept
    // and skipped.
    void SetRules(const Rule* rules, size_t count);
    // Lays the controls out for the dialog's present size (done on every WM_SIZE).
    void Apply();

    HWND Window() const { return dialog_; }

private:
    struct Placed {
        int id;
        int rule[7];
        RECT design;  // in the dialog's client coordinates
    };

    explicit AutoLayout(HWND dialog);
    ~AutoLayout();
    AutoLayout(const AutoLayout&) = delete;
    AutoLayout& operator=(const AutoLayout&) = delete;
    static LRESULT CALLBACK SubclassProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                              UINT_PTR id, DWORD_PTR data);

    HWND dialog_;
    SIZE design_;  // the client size the rules were given for
    std::vector<Placed> controls_;
};
