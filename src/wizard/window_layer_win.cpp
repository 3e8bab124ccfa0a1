#include "wizard/window_layer_win.h"

#include <commctrl.h>

#include <unordered_map>
#include <utility>
#include <vector>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"

namespace wizard {
namespace {

constexpr int kFirstControlId = 500;
constexpr UINT_PTR kControlSubclassId = 1;

// Everything bound to one window or control. Only the user-interface thread
// creates windows, so it alone reads and writes these records.
struct Bindings {
  MessageHook hook;
  CreatedHandler created;
  bool createdRan = false;
  EventHandler destroyed;
  EventHandler click;
  LinkHandler linkClick;
  DrawHandler draw;
  bool isHyperlink = false;
  bool hasColors = false;
  COLORREF textColor = 0;
  COLORREF backColor = 0;
  base::UniqueBrush backBrush;
  std::vector<UINT> swallowedKeys;
};

std::unordered_map<HWND, Bindings>& AllBindings() {
  static std::unordered_map<HWND, Bindings> bindings;
  return bindings;
}

Bindings* Find(HWND window) {
  auto& all = AllBindings();
  const auto it = all.find(window);
  return it == all.end() ? nullptr : &it->second;
}

int NextControlId() {
  static int next = kFirstControlId;
  return next++;
}

LRESULT ColorStatic(HDC dc, HWND control, bool* handled) {
  const Bindings* own = Find(control);
  *handled = own && own->hasColors;
  if (!*handled) return 0;
  SetTextColor(dc, own->textColor);
  if (own->backColor == CLR_NONE) {
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
  }
  SetBkColor(dc, own->backColor);
  return reinterpret_cast<LRESULT>(own->backBrush.get());
}

// What a window does for the controls inside it: clicks, link notifications,
// owner drawing and colours. Our own windows and the system's group boxes,
// which hold controls too, both route through here.
bool RouteForChildren(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED && lParam) {
        if (Bindings* control = Find(reinterpret_cast<HWND>(lParam)); control && control->click) {
          const EventHandler click = control->click;
          click();
          *result = 0;
          return true;
        }
      }
      return false;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->code != NM_CLICK && header->code != NM_RETURN) return false;
      Bindings* control = Find(header->hwndFrom);
      if (!control || !control->linkClick) return false;
      // The control is asked for the clicked item's address.
      LITEM item{};
      item.mask = LIF_ITEMINDEX | LIF_URL;
      item.iLink = reinterpret_cast<const NMLINK*>(lParam)->item.iLink;
      if (SendMessageW(header->hwndFrom, LM_GETITEM, 0, reinterpret_cast<LPARAM>(&item))) {
        const LinkHandler linkClick = control->linkClick;
        linkClick(item.szUrl);
      }
      *result = 0;
      return true;
    }
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      Bindings* control = Find(item->hwndItem);
      if (!control || !control->draw) return false;
      control->draw(*item);
      *result = TRUE;
      return true;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT: {
      bool handled = false;
      *result = ColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), &handled);
      return handled;
    }
  }
  return false;
}

LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (Bindings* own = Find(window); own && own->hook) {
    if (const LRESULT handled = own->hook(window, message, wParam, lParam)) return handled;
  }
  LRESULT result = 0;
  if (RouteForChildren(message, wParam, lParam, &result)) return result;
  switch (message) {
    case kCreatedMessage: {
      // A second run would build the controls again and start another worker.
      Bindings* own = Find(window);
      if (!own || own->createdRan) break;
      own->createdRan = true;
      const CreatedHandler created = std::move(own->created);
      own->created = nullptr;
      if (created) created(window);
      RECT client{};
      GetClientRect(window, &client);
      SendMessageW(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
      return 0;
    }
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      if (Bindings* own = Find(window); own && own->destroyed) {
        const EventHandler destroyed = own->destroyed;
        destroyed();
      }
      return 0;
    case WM_NCDESTROY:
      AllBindings().erase(window);
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  // No exception may cross back into the system.
  try {
    return HandleMessage(window, message, wParam, lParam);
  } catch (...) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
}

bool IsSwallowed(HWND control, UINT message, WPARAM key) {
  if (message != WM_KEYDOWN && message != WM_KEYUP && message != WM_CHAR) return false;
  const Bindings* own = Find(control);
  if (!own) return false;
  for (UINT swallowed : own->swallowedKeys) {
    if (key == swallowed) return true;
  }
  return false;
}

// Every control the layer creates passes its messages through here first.
LRESULT CALLBACK ControlProcedure(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                  DWORD_PTR) {
  try {
    if (IsSwallowed(control, message, wParam)) return 0;
    LRESULT result = 0;
    if (RouteForChildren(message, wParam, lParam, &result)) return result;
    if (message == WM_NCDESTROY) {
      RemoveWindowSubclass(control, ControlProcedure, kControlSubclassId);
      AllBindings().erase(control);
    }
  } catch (...) {
    // Fall through to the control's own handling.
  }
  return DefSubclassProc(control, message, wParam, lParam);
}

void RegisterOnce(const wchar_t* windowClass) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
  wc.lpfnWndProc = WindowProcedure;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = windowClass;
  RegisterClassExW(&wc);  // a second registration fails harmlessly
}

void SetDefaultFont(HWND window) {
  SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
}

bool IsHyperlink(HWND window) {
  const Bindings* own = Find(window);
  return own && own->isHyperlink;
}

}  // namespace

HWND CreateFrameWindow(const wchar_t* windowClass, DWORD exStyle, std::string_view text, DWORD style,
                       const Rect& rect, HWND parent, bool visible, CreatedHandler created) {
  RegisterOnce(windowClass);
  HWND window = CreateWindowExW(exStyle, windowClass, base::WideFromGbk(text).c_str(),
                                style | WS_CLIPSIBLINGS, rect.x, rect.y, rect.w, rect.h, parent,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!window) return nullptr;
  SetDefaultFont(window);
  AllBindings()[window].created = std::move(created);
  SendMessageW(window, kCreatedMessage, 0, 0);
  if (visible && IsWindow(window)) {
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
  }
  return window;
}

HWND CreateControl(HWND parent, const wchar_t* controlClass, std::string_view text, DWORD style,
                   DWORD exStyle, const Rect& rect) {
  const auto id = static_cast<INT_PTR>(NextControlId());
  HWND control = CreateWindowExW(exStyle, controlClass, base::WideFromGbk(text).c_str(),
                                 WS_CHILD | WS_VISIBLE | style, rect.x, rect.y, rect.w, rect.h, parent,
                                 reinterpret_cast<HMENU>(id), GetModuleHandleW(nullptr), nullptr);
  if (!control) return nullptr;
  // Wine's hyperlink control no longer parses mark-up set after it got a
  // font, and shows the tags as text. It gets its font after its text.
  if (lstrcmpiW(controlClass, WC_LINK) == 0) {
    AllBindings()[control].isHyperlink = true;
  } else {
    SetDefaultFont(control);
  }
  SetWindowSubclass(control, ControlProcedure, kControlSubclassId, 0);
  return control;
}

void SetMessageHook(HWND window, MessageHook hook) {
  if (window) AllBindings()[window].hook = std::move(hook);
}
void OnDestroyed(HWND window, EventHandler handler) {
  if (window) AllBindings()[window].destroyed = std::move(handler);
}
void OnClick(HWND control, EventHandler handler) {
  if (control) AllBindings()[control].click = std::move(handler);
}
void OnLinkClick(HWND link, LinkHandler handler) {
  if (link) AllBindings()[link].linkClick = std::move(handler);
}
void OnDraw(HWND control, DrawHandler handler) {
  if (control) AllBindings()[control].draw = std::move(handler);
}

void SwallowKey(HWND control, UINT virtualKey) {
  if (!control) return;
  AllBindings()[control].swallowedKeys.push_back(virtualKey);
}

void SetText(HWND window, std::string_view gbk) {
  if (!window) return;
  SetWindowTextW(window, base::WideFromGbk(gbk).c_str());
  if (IsHyperlink(window)) SetDefaultFont(window);
  const Bindings* own = Find(window);
  if (own && own->hasColors && own->backColor == CLR_NONE) {
    // A transparent label leaves its old text behind unless the parent repaints.
    RECT area{};
    GetWindowRect(window, &area);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&area), 2);
    InvalidateRect(GetParent(window), &area, TRUE);
  }
}

std::string GetText(HWND window) {
  if (!window) return {};
  const int length = GetWindowTextLengthW(window);
  std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(window, wide.data(), length + 1);
  wide.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
  return base::GbkFromWide(wide);
}

void SetLabelColors(HWND label, COLORREF text, COLORREF background) {
  if (!label) return;
  Bindings& own = AllBindings()[label];
  own.hasColors = true;
  own.textColor = text;
  own.backBrush.reset(background == CLR_NONE ? nullptr : CreateSolidBrush(background));
  own.backColor = background;
  InvalidateRect(label, nullptr, TRUE);
}

COLORREF LabelTextColor(HWND label) {
  const Bindings* own = Find(label);
  return own && own->hasColors ? own->textColor : GetSysColor(COLOR_BTNTEXT);
}

void Show(HWND window, bool shown) {
  if (window) ShowWindow(window, shown ? SW_SHOW : SW_HIDE);
}
bool IsShown(HWND window) { return window && IsWindowVisible(window); }
void Enable(HWND window, bool enabled) {
  if (window) EnableWindow(window, enabled);
}
bool IsEnabled(HWND window) { return window && IsWindowEnabled(window); }
void Redraw(HWND window) {
  if (window) InvalidateRect(window, nullptr, TRUE);
}

int AddComboItem(HWND combo, std::string_view text, LPARAM data) {
  const auto index = static_cast<int>(SendMessageW(
      combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(base::WideFromGbk(text).c_str())));
  if (index < 0) return -1;
  SendMessageW(combo, CB_SETITEMDATA, static_cast<WPARAM>(index), data);
  return index;
}
int ComboSelection(HWND combo) { return static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0)); }
bool SelectComboItem(HWND combo, int index) {
  return SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0) == index;
}
LPARAM ComboItemData(HWND combo, int index) {
  return SendMessageW(combo, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
}

void AddListColumn(HWND list, int index, std::string_view title, int width, int format) {
  std::wstring wide = base::WideFromGbk(title);
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
  column.fmt = format;
  column.cx = width;
  column.pszText = wide.data();
  SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column));
}

int AddListRow(HWND list, std::string_view text) {
  std::wstring wide = base::WideFromGbk(text);
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  item.pszText = wide.data();
  return static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}

void SetListCell(HWND list, int row, int column, std::string_view text) {
  std::wstring wide = base::WideFromGbk(text);
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = wide.data();
  SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

void SelectListRow(HWND list, int row) {
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
}

void DeleteListRows(HWND list) { SendMessageW(list, LVM_DELETEALLITEMS, 0, 0); }

bool IsChecked(HWND checkBox) { return SendMessageW(checkBox, BM_GETCHECK, 0, 0) == BST_CHECKED; }
void SetChecked(HWND checkBox, bool checked) {
  SendMessageW(checkBox, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

}  // namespace wizard
