#include "wizard/main_window_win.h"

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "base/start_worker_win.h"
#include "base/trace.h"
#include "base/wide_text_win.h"
#include "engine/config_worker_win.h"
#include "engine/session.h"
#include "engine/worker_messages_win.h"
#include "net/url_encoding.h"
#include "resources/resource_ids.h"
#include "wizard/completion_win.h"
#include "wizard/navigation_win.h"
#include "wizard/picture_win.h"
#include "wizard/window_layer_win.h"
#include "wizard/wizard_texts.h"
#include "wizard/worker_dispatch_win.h"

namespace wizard {
namespace {

constexpr Rect kMainWindowRect{300, 300, 460, 328};
constexpr int kClientWidth = 454;
constexpr int kClientHeight = 303;
constexpr Rect kBannerRect{7, 6, 122, 244};
constexpr Rect kPageFrameRect{133, 0, 315, 251};
constexpr Rect kSeparatorRect{0, 259, 460, 1};
constexpr Rect kLinkRect{5, 276, 190, 14};
constexpr Rect kPrevRect{196, 266, 80, 32};
constexpr Rect kNextRect{281, 266, 80, 32};
constexpr Rect kCloseRect{366, 266, 80, 32};
constexpr Rect kPanelRect{4, 8, 307, 240};
constexpr DWORD kPanelStyle = WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_SYSMENU;
constexpr DWORD kSeparatorStyle = SS_ETCHEDHORZ | SS_SUNKEN;
constexpr DWORD kLinkIgnoreReturn = 2;
constexpr DWORD kLabelStyle = SS_CENTERIMAGE;
constexpr DWORD kWrappingLabelStyle = 0;
constexpr DWORD kLogEditStyle = ES_MULTILINE | ES_READONLY | ES_WANTRETURN | WS_VSCROLL;
constexpr DWORD kOperationListStyle = LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOCOLUMNHEADER;
constexpr int kOperationColumnWidth = 215;
constexpr int kProgressColumnWidth = 40;
constexpr COLORREF kBlue = 0xFF0000;
constexpr COLORREF kOrange = 0x0080FF;
constexpr UINT kEscapeKey = VK_ESCAPE;

constexpr const char* kPageNames[kPageCount + 1] = {nullptr,
                                                    texts::kPageReadConfig,
                                                    texts::kPageChooseServer,
                                                    texts::kPageUpdateContent,
                                                    texts::kPageDownload,
                                                    texts::kPageComplete};

HWND Label(HWND parent, const char* text, const Rect& rect, DWORD style = kLabelStyle) {
  return CreateControl(parent, WC_STATICW, text, style, 0, rect);
}

HWND Button(HWND parent, const char* text, const Rect& rect, DWORD style = BS_PUSHBUTTON) {
  return CreateControl(parent, WC_BUTTONW, text, style | WS_TABSTOP, 0, rect);
}

HWND GroupBox(HWND parent, const char* text, const Rect& rect) {
  return CreateControl(parent, WC_BUTTONW, text, BS_GROUPBOX, WS_EX_CONTROLPARENT, rect);
}

void BuildReadConfigPage(HWND page) {
  auto& c = Controls();
  c.ReadConfigLabel = Label(page, texts::kReadingConfig, {15, 16, 285, 40}, kWrappingLabelStyle);
  SetLabelColors(c.ReadConfigLabel, kBlue, GetSysColor(COLOR_BTNFACE));
}

void BuildChooseServerPage(HWND page) {
  auto& c = Controls();
  c.IntroLabel = Label(page, texts::kIntroTemplate, {15, 10, 268, 87}, kWrappingLabelStyle);
  c.FirewallNoteLabel = Label(page, texts::kFirewallNote, {30, 191, 247, 39}, kWrappingLabelStyle);
  SetLabelColors(c.FirewallNoteLabel, kOrange, GetSysColor(COLOR_BTNFACE));
  c.ServerGroupBox = GroupBox(page, texts::kServerGroup, {28, 110, 250, 67});
  c.ServerCombo = CreateControl(c.ServerGroupBox, WC_COMBOBOXW, "", CBS_DROPDOWNLIST | WS_TABSTOP, 0,
                                {22, 26, 206, 110});
}

void BuildUpdateContentPage(HWND page) {
  auto& c = Controls();
  c.CheckStatusLabel = Label(page, texts::kCheckingVersion, {5, 5, 280, 23});
  const std::string localVersion = texts::kLocalVersionPrefix + engine::CurrentSession().Config.LocalVersion;
  c.LocalVersionLabel = Label(page, localVersion.c_str(), {5, 30, 140, 20});
  c.ServerVersionLabel = Label(page, texts::kServerVersionFetching, {147, 30, 140, 20});
  c.ContentGroupBox = GroupBox(page, texts::kContentGroup, {5, 54, 297, 178});
  c.UpdateLogEdit = CreateControl(c.ContentGroupBox, WC_EDITW, texts::kPleaseWait, kLogEditStyle | WS_TABSTOP,
                                  WS_EX_CLIENTEDGE, {10, 16, 277, 152});
  SetLabelColors(c.UpdateLogEdit, GetSysColor(COLOR_WINDOWTEXT), GetSysColor(COLOR_BTNFACE));
  // Escape in a multi-line edit would close its parent, the group box.
  SwallowKey(c.UpdateLogEdit, kEscapeKey);
}

void BuildDownloadPage(HWND page) {
  auto& c = Controls();
  c.DownloadStatusLabel = Label(page, texts::kGettingFileList, {15, 9, 273, 15});
  c.OperationList =
      CreateControl(page, WC_LISTVIEWW, "", kOperationListStyle, WS_EX_CLIENTEDGE, {13, 33, 280, 143});
  SendMessageW(c.OperationList, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT,
               LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  AddListColumn(c.OperationList, 0, texts::kColumnOperation, kOperationColumnWidth, LVCFMT_LEFT);
  AddListColumn(c.OperationList, 1, texts::kColumnProgress, kProgressColumnWidth, LVCFMT_CENTER);
  c.SpeedLabel = Label(page, texts::kSpeedUnknown, {12, 183, 125, 15});
  c.FileProgressBar = CreateControl(page, PROGRESS_CLASSW, "", PBS_SMOOTH, WS_EX_STATICEDGE, {13, 199, 280, 20});
  c.DownloadedLabel = Label(page, texts::kDownloadedUnknown, {12, 222, 142, 15});
  c.FileSizeLabel = Label(page, texts::kFileSizeUnknown, {150, 222, 142, 15}, SS_RIGHT);
  const int row = AddStatusRow(texts::kGettingFileList);
  SetListCell(c.OperationList, row, 1, texts::kFullProgress);
}

void BuildCompletePage(HWND page) {
  auto& c = Controls();
  c.CompleteLabel = Label(page, texts::kCompleteTemplate, {15, 16, 285, 40}, kWrappingLabelStyle);
  c.RunMainProgramCheck = Button(page, texts::kRunMainProgramInitial, {15, 98, 250, 15}, BS_AUTOCHECKBOX);
  SetChecked(c.RunMainProgramCheck, true);
}

using PageBuilder = void (*)(HWND);
constexpr PageBuilder kPageBuilders[kPageCount + 1] = {nullptr,           BuildReadConfigPage,
                                                       BuildChooseServerPage, BuildUpdateContentPage,
                                                       BuildDownloadPage, BuildCompletePage};

void LoadBanners() {
  auto& c = Controls();
  for (int page = 1; page <= kPageCount; ++page) {
    size_t size = 0;
    const void* bytes = ResourceBytes(IDR_BANNER_FIRST + page - 1, &size);
    UINT type = 0;
    HANDLE picture = LoadPictureFromBytes(bytes, size, &type);
    if (picture && type == IMAGE_BITMAP) {
      c.Banners[page].reset(static_cast<HBITMAP>(picture));
    } else if (picture) {
      DestroyIcon(static_cast<HICON>(picture));
    }
  }
}

void DrawBanner(const DRAWITEMSTRUCT& item) {
  const auto& c = Controls();
  FillRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_BTNFACE));
  HBITMAP bitmap = c.Banners[c.BannerShown].get();
  if (!bitmap) return;
  HDC memory = CreateCompatibleDC(item.hDC);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BITMAP info{};
  GetObjectW(bitmap, sizeof(info), &info);
  BitBlt(item.hDC, 0, 0, info.bmWidth, info.bmHeight, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  DeleteDC(memory);
}

void FitClientArea(HWND window) {
  RECT outer{};
  RECT client{};
  GetWindowRect(window, &outer);
  GetClientRect(window, &client);
  const int width = (outer.right - outer.left) - client.right + kClientWidth;
  const int height = (outer.bottom - outer.top) - client.bottom + kClientHeight;
  SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The address comes from the server and the updater runs elevated: anything
// but a web address could start a local program or one on a share.
void OpenLink(const wchar_t* url) {
  const std::string address = base::GbkFromWide(url);
  if (!net::IsWebAddress(address)) {
    base::Trace("链接不是网页地址，不打开：" + address);
    return;
  }
  ShellExecuteW(nullptr, L"open", url, nullptr, nullptr, SW_SHOWNORMAL);
}

void SetUpMainWindow(HWND window) {
  auto& c = Controls();
  const HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  c.MainWindow = window;
  SetMessageHook(window, DispatchWorkerMessage);
  FitClientArea(window);
  base::Trace("主窗口初始化完毕");

  LoadBanners();
  c.BannerPicture = CreateControl(window, WC_STATICW, "", SS_OWNERDRAW, 0, kBannerRect);
  OnDraw(c.BannerPicture, DrawBanner);
  c.PageFrame = GroupBox(window, "", kPageFrameRect);
  c.SeparatorLine = CreateControl(window, WC_STATICW, "", kSeparatorStyle, 0, kSeparatorRect);
  c.LinkLabel = CreateControl(window, WC_LINK, "", kLinkIgnoreReturn | WS_TABSTOP, 0, kLinkRect);
  c.CloseButton = Button(window, texts::kClose, kCloseRect);
  c.NextButton = Button(window, texts::kNext, kNextRect);
  Show(c.NextButton, false);
  c.PrevButton = Button(window, texts::kPrev, kPrevRect);
  Show(c.PrevButton, false);
  base::Trace("子控件创建完毕");

  for (int page = 1; page <= kPageCount; ++page) {
    c.Pages[page] = CreateFrameWindow(kPanelClass, 0, kPageNames[page], kPanelStyle, kPanelRect, c.PageFrame,
                                      page == 1, kPageBuilders[page]);
  }
  base::Trace("面板创建完毕");

  OnDestroyed(window, ShutdownCleanup);
  OnClick(c.CloseButton, CloseAction);
  OnClick(c.NextButton, NextAction);
  OnClick(c.PrevButton, PreviousAction);
  OnLinkClick(c.LinkLabel, OpenLink);
  base::Trace("事件关联完毕");

  engine::RegisterWorkerMessages();
  base::Trace("消息注册完毕");

  // Every path of the update is a GBK text built on the folder's name; one
  // that GBK cannot hold would name another folder. Nothing is fetched then.
  if (!engine::CurrentSession().ProgramFolderHeldInGbk) {
    SetText(c.ReadConfigLabel, texts::kFolderNameUnsupported);
    return;
  }
  base::StartWorker(engine::ConfigWorker, window);
}

}  // namespace

MainWindowControls& Controls() {
  static MainWindowControls controls;
  return controls;
}

HWND CreateMainWindow() {
  return CreateFrameWindow(kMainWindowClass, WS_EX_APPWINDOW, texts::kMainTitle, WS_SYSMENU, kMainWindowRect,
                           nullptr, true, SetUpMainWindow);
}

void ShowBanner(int page) {
  auto& c = Controls();
  if (page < 1 || page > kPageCount) return;
  c.BannerShown = page;
  Redraw(c.BannerPicture);
}

int AddStatusRow(const char* text) {
  auto& c = Controls();
  SetText(c.DownloadStatusLabel, text);
  const int row = AddListRow(c.OperationList, text);
  SelectListRow(c.OperationList, row);
  return row;
}

}  // namespace wizard
