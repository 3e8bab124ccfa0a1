#pragma once
// A thin layer over the window and control calls the wizard needs: our two
// window classes, child controls with identifiers counting up from 500, event
// binding, and GBK texts at the W boundary.
#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

namespace wizard {

struct Rect {
  int x, y, w, h;
};

// Returns non-zero when it handled the message; the window then does nothing
// else with it and returns that value to the sender.
using MessageHook = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;
using CreatedHandler = std::function<void(HWND)>;
using EventHandler = std::function<void()>;
using DrawHandler = std::function<void(const DRAWITEMSTRUCT&)>;
using LinkHandler = std::function<void(const wchar_t* url)>;

inline constexpr wchar_t kMainWindowClass[] = L"ScWindow";
inline constexpr wchar_t kPanelClass[] = L"ScPanel";

// Sent by CreateFrameWindow to run the created handler. It lies in the
// application's own range, which no system control uses, and only its first
// arrival counts.
inline constexpr UINT kCreatedMessage = WM_APP + 1;

// Creates a window of one of our classes. The created handler runs
// synchronously with the new handle before the window is shown.
HWND CreateFrameWindow(const wchar_t* windowClass, DWORD exStyle, std::string_view text, DWORD style,
                       const Rect& rect, HWND parent, bool visible, CreatedHandler created);

// Creates a standard control (visible child) with the default GUI font.
HWND CreateControl(HWND parent, const wchar_t* controlClass, std::string_view text, DWORD style,
                   DWORD exStyle, const Rect& rect);

void SetMessageHook(HWND window, MessageHook hook);
void OnDestroyed(HWND window, EventHandler handler);
void OnClick(HWND control, EventHandler handler);   // buttons
void OnLinkClick(HWND link, LinkHandler handler);    // the clicked item's address
void OnDraw(HWND control, DrawHandler handler);      // owner-drawn statics
void SwallowKey(HWND control, UINT virtualKey);      // the key never reaches the control

void SetText(HWND window, std::string_view gbk);
std::string GetText(HWND window);
// Text and background colour of a label or edit box; a background of
// CLR_NONE makes it transparent.
void SetLabelColors(HWND label, COLORREF text, COLORREF background);
COLORREF LabelTextColor(HWND label);
void Show(HWND window, bool shown);
bool IsShown(HWND window);
void Enable(HWND window, bool enabled);
bool IsEnabled(HWND window);
void Redraw(HWND window);

// Combo box.
int AddComboItem(HWND combo, std::string_view text, LPARAM data);
int ComboSelection(HWND combo);
bool SelectComboItem(HWND combo, int index);
LPARAM ComboItemData(HWND combo, int index);

// List view in report mode.
void AddListColumn(HWND list, int index, std::string_view title, int width, int format);
int AddListRow(HWND list, std::string_view text);
void SetListCell(HWND list, int row, int column, std::string_view text);
void SelectListRow(HWND list, int row);
void DeleteListRows(HWND list);

bool IsChecked(HWND checkBox);
void SetChecked(HWND checkBox, bool checked);

}  // namespace wizard
