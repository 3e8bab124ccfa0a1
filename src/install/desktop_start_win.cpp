#include "install/desktop_start_win.h"

#include <windows.h>
#include <exdisp.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "base/com_ptr_win.h"

namespace engine {
namespace {

constexpr wchar_t kOpen[] = L"open";

// The view object of the desktop's folder window inside Explorer: the shell
// windows list names the desktop, its browser hands out the active view.
base::ComPtr<IShellView> DesktopView() {
  base::ComPtr<IShellWindows> windows;
  if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                              windows.PutVoid())) ||
      !windows) {
    return {};
  }
  base::VariantHolder location;
  V_VT(&location.Get()) = VT_I4;
  V_I4(&location.Get()) = CSIDL_DESKTOP;
  base::VariantHolder root;
  long window = 0;
  base::ComPtr<IDispatch> desktop;
  if (windows->FindWindowSW(&location.Get(), &root.Get(), SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                            desktop.Put()) != S_OK ||
      !desktop) {
    return {};
  }
  base::ComPtr<IServiceProvider> provider;
  base::ComPtr<IShellBrowser> browser;
  base::ComPtr<IShellView> view;
  if (FAILED(desktop->QueryInterface(IID_IServiceProvider, provider.PutVoid())) || !provider ||
      FAILED(provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.PutVoid())) || !browser ||
      FAILED(browser->QueryActiveShellView(view.Put()))) {
    return {};
  }
  return view;
}

// The shell's automation object as the desktop's view gives it out: its
// methods run in Explorer's process.
base::ComPtr<IShellDispatch2> DesktopShell() {
  base::ComPtr<IShellView> view = DesktopView();
  if (!view) return {};
  base::ComPtr<IDispatch> background;
  base::ComPtr<IShellFolderViewDual> folderView;
  base::ComPtr<IDispatch> application;
  base::ComPtr<IShellDispatch2> shell;
  if (FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.PutVoid())) || !background ||
      FAILED(background->QueryInterface(IID_IShellFolderViewDual, folderView.PutVoid())) || !folderView ||
      FAILED(folderView->get_Application(application.Put())) || !application ||
      FAILED(application->QueryInterface(IID_IShellDispatch2, shell.PutVoid()))) {
    return {};
  }
  return shell;
}

base::VariantHolder TextVariant(const std::wstring& text) {
  base::VariantHolder value;
  V_VT(&value.Get()) = VT_BSTR;
  V_BSTR(&value.Get()) = base::BstrHolder(text).Detach();
  return value;
}

}  // namespace

bool StartAsDesktopUser(const std::wstring& program, const std::wstring& folder) {
  base::ComPtr<IShellDispatch2> shell = DesktopShell();
  if (!shell) return false;
  base::BstrHolder file(program);
  base::VariantHolder arguments = TextVariant(L"");
  base::VariantHolder directory = TextVariant(folder);
  base::VariantHolder operation = TextVariant(kOpen);
  base::VariantHolder show;
  V_VT(&show.Get()) = VT_I4;
  V_I4(&show.Get()) = SW_SHOWNORMAL;
  return SUCCEEDED(
      shell->ShellExecute(file.Get(), arguments.Get(), directory.Get(), operation.Get(), show.Get()));
}

}  // namespace engine
