#include "manager/manager_form_win.h"

#include <dbt.h>

#include <algorithm>
#include <cwchar>

#include "base/crypt32_win.h"
#include "base/device_interface_win.h"
#include "base/shared_names.h"
#include "base/system_library_win.h"
#include "base/text_win.h"
#include "base/unique_handle_win.h"
#include "monitor/commands.h"
#include "monitor/default_pin.h"
#include "monitor/pin_dialog_win.h"
#include "token/token_library_win.h"
#include "token/token_operations.h"
#include "win32/common_controls_win.h"

namespace {

constexpr int kWidth = 780, kHeight = 480;
constexpr UINT_PTR kDeviceSettleTimer = 1;
constexpr UINT kDeviceSettleMs = 1500;  // let the module see the token first

constexpr DWORD kListStyle =
    LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_BORDER | WS_TABSTOP;
constexpr ControlSpec kDesign[] = {
    {TManagerForm::kTokensCaption, L"STATIC", SS_LEFT | SS_NOPREFIX, 12, 10, 400, 18},
    {TManagerForm::kTokenList, WC_LISTVIEWW, kListStyle, 12, 30, 756, 96},
    {TManagerForm::kCertificatesCaption, L"STATIC", SS_LEFT | SS_NOPREFIX, 12, 136, 400, 18},
    {TManagerForm::kCertificateList, WC_LISTVIEWW, kListStyle, 12, 156, 756, 248},
    {TManagerForm::kViewButton, L"BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP, 12, 416, 140, 28},
    {TManagerForm::kCopyButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 160, 416, 140, 28},
    {TManagerForm::kChangePinButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 308, 416, 150, 28},
    {TManagerForm::kRegisterButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 466, 416, 140, 28},
    {TManagerForm::kRefreshButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 628, 416, 140, 28},
    {TManagerForm::kStatusText, L"STATIC", SS_LEFT | SS_NOPREFIX, 12, 452, 756, 18},
};

// A list's columns: the text of their heading and their width in design
// pixels.
struct Column {
  std::wstring TResStrs::*heading;
  int width;
};
constexpr Column kTokenColumns[] = {{&TResStrs::K_Info_labelName, 220},
                                    {&TResStrs::K_Info_Sn, 200},
                                    {&TResStrs::Mgr_Col_PinState, 320}};
// Together they fit the list beside its scroll bar.
constexpr Column kCertificateColumns[] = {
    {&TResStrs::Mgr_Col_Stage, 120},  {&TResStrs::K_Cert_Name, 136},
    {&TResStrs::K_Cert_issure, 106},  {&TResStrs::Mgr_Col_Use, 96},
    {&TResStrs::K_Cert_begin, 76},    {&TResStrs::K_Cert_End, 76},
    {&TResStrs::Mgr_Col_InStore, 70}, {&TResStrs::Mgr_Col_Token, 50},
};

// The stage's mark beside its text, told apart by shape: i, !, !, x.
int StageIcon(const CertificateRow& row) {
  switch (row.stage) {
    case CertStage::kExpired:
      return 2;
    case CertStage::kEnding:
    case CertStage::kEndingThisWeek:
      return 1;
    case CertStage::kValid:
      break;
  }
  return 0;
}

// A date of the library on the user's calendar and in the user's format.
std::wstring LocalDate(const std::int32_t date[3], const std::wstring& fallback) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(date[0]);
  st.wMonth = static_cast<WORD>(date[1]);
  st.wDay = static_cast<WORD>(date[2]);
  wchar_t text[80] = {};
  if (date[0] < 1601 ||
      !GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, text, 80, nullptr))
    return fallback;
  return text;
}

void SetColumns(HWND list,
                const Column* columns,
                std::size_t count,
                const TResStrs& strings,
                const DialogLayout& layout) {
  while (SendMessageW(list, LVM_DELETECOLUMN, 0, 0)) {
  }
  for (std::size_t i = 0; i < count; ++i) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.pszText = const_cast<wchar_t*>((strings.*columns[i].heading).c_str());
    column.cx = layout.Scale(columns[i].width);
    column.iSubItem = static_cast<int>(i);
    SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
  }
}

void AddRow(HWND list, int row, const std::vector<std::wstring>& texts, int image = -1) {
  LVITEMW item{};
  item.mask = LVIF_TEXT | (image >= 0 ? LVIF_IMAGE : 0);
  item.iItem = row;
  item.iImage = image;
  item.pszText = const_cast<wchar_t*>(texts[0].c_str());
  SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  for (std::size_t i = 1; i < texts.size(); ++i) {
    LVITEMW sub{};
    sub.iSubItem = static_cast<int>(i);
    sub.pszText = const_cast<wchar_t*>(texts[i].c_str());
    SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&sub));
  }
}

int SelectedRow(HWND list) {
  return static_cast<int>(
      SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

// The user's stores, read only.
class UserStores : public CertificateStores {
 public:
  bool Holds(cmgr::CertKind kind, std::span<const std::uint8_t> der) const override {
    const Crypt32Functions& c = Crypt32();
    if (!c.loaded || der.empty())
      return false;
    PCCERT_CONTEXT cert = c.CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                         static_cast<DWORD>(der.size()));
    if (!cert)
      return false;
    bool found = false;
    const wchar_t* const userStores[] = {L"MY"};
    const wchar_t* const caStores[] = {L"ROOT", L"CA"};
    const std::span<const wchar_t* const> names = kind == cmgr::kUserCertificate
                                                      ? std::span<const wchar_t* const>(userStores)
                                                      : std::span<const wchar_t* const>(caStores);
    for (const wchar_t* name : names) {
      HCERTSTORE store = c.CertOpenStore(
          CERT_STORE_PROV_SYSTEM_W, 0, 0,
          CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG,
          name);
      if (!store)
        continue;
      if (PCCERT_CONTEXT held = c.CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                             CERT_FIND_EXISTING, cert, nullptr)) {
        c.CertFreeCertificateContext(held);
        found = true;
      }
      c.CertCloseStore(store, 0);
      if (found)
        break;
    }
    c.CertFreeCertificateContext(cert);
    return found;
  }
};

// Runs operation on our library started with the product's module; false
// when the library or the module could not be started. The token is held
// only while it runs.
template <class Operation>
bool WithLibrary(const std::wstring& exeDir, const std::wstring& module, Operation&& operation) {
  DllTokenLibrary lib(exeDir + L"CorvanexMgr.dll");
  if (!lib.Loaded() || InitTokenLibrary(lib, module) != 0)
    return false;
  operation(lib);
  lib.uninit_pkcs11();
  return true;
}

LocalDateTime Now() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

}  // namespace

TManagerForm::TManagerForm(const std::wstring& exeDir, ProductSettings product)
    : exeDir_(exeDir), product_(std::move(product)) {}

TManagerForm::~TManagerForm() {
  if (deviceNotification_)
    UnregisterDeviceNotification(deviceNotification_);
  common_controls::DestroyImageList(stageIcons_);
}

std::unique_ptr<TManagerForm> TManagerForm::Create(const std::wstring& exeDir,
                                                   ProductSettings product) {
  common_controls::InitClasses(ICC_LISTVIEW_CLASSES);
  std::unique_ptr<TManagerForm> form(new TManagerForm(exeDir, std::move(product)));
  HICON icon = LoadIconW(GetModuleHandleW(nullptr), L"MAINICON");
  if (!form->CreateWindowOfClass(names::kManagerWindowClass, form->product_.strings.P_Caption,
                                 WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0,
                                 nullptr, icon))
    return nullptr;
  form->CreateControls();
  form->ApplyTexts();
  form->layout_->CentreOnOwnerMonitor(nullptr);

  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = UsbDeviceInterfaceGuid();
  form->deviceNotification_ =
      RegisterDeviceNotificationW(form->hwnd(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ShowWindow(form->hwnd(), SW_SHOW);
  form->Refresh();
  return form;
}

void TManagerForm::CreateControls() {
  layout_ = std::make_unique<DialogLayout>(hwnd(), product_.strings);
  layout_->CreateControls(kDesign);
  for (int id : {kTokenList, kCertificateList})
    SendMessageW(layout_->Item(id), LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
}

void TManagerForm::ApplyTexts() {
  const TResStrs& s = product_.strings;
  layout_->ApplyTableFont();
  SetWindowTextW(hwnd(), s.P_Caption.c_str());
  SetDlgItemTextW(hwnd(), kTokensCaption, s.Main_Form_Treeview.c_str());
  SetDlgItemTextW(hwnd(), kCertificatesCaption, s.Mgr_Certificates.c_str());
  SetDlgItemTextW(hwnd(), kViewButton, s.btn_ViewCert.c_str());
  SetDlgItemTextW(hwnd(), kCopyButton, s.Mgr_Btn_Copy.c_str());
  SetDlgItemTextW(hwnd(), kChangePinButton, s.Main_Form_btn_SetUPIN.c_str());
  SetDlgItemTextW(hwnd(), kRegisterButton, s.K_Cert_Reg.c_str());
  SetDlgItemTextW(hwnd(), kRefreshButton, s.Main_Form_btn_Refresh.c_str());
  SetColumns(layout_->Item(kTokenList), kTokenColumns, std::size(kTokenColumns), s, *layout_);
  SetColumns(layout_->Item(kCertificateList), kCertificateColumns, std::size(kCertificateColumns),
             s, *layout_);
  // The stage marks at the size of the window's DPI.
  common_controls::DestroyImageList(stageIcons_);
  const int size = layout_->Scale(16);
  stageIcons_ = common_controls::CreateIconList(size, 3);
  for (const wchar_t* icon : {IDI_INFORMATION, IDI_WARNING, IDI_ERROR}) {
    HICON loaded = static_cast<HICON>(LoadImageW(nullptr, icon, IMAGE_ICON, size, size, LR_SHARED));
    common_controls::AddIcon(stageIcons_, loaded);
  }
  SendMessageW(layout_->Item(kCertificateList), LVM_SETIMAGELIST, LVSIL_SMALL,
               reinterpret_cast<LPARAM>(stageIcons_));
  layout_->SetClientSize(kWidth, kHeight);
  FillLists();
}

void TManagerForm::Refresh() {
  UserStores stores;
  const ViewRules rules{product_.settings.CertDay, product_.settings.SkipExpiredCertificates == 1,
                        Now()};
  TokenView view;
  const bool started =
      WithLibrary(exeDir_, PolicyModule(product_.policy).value_or(product_.strings.PKCS11Name),
                  [&](TokenLibrary& lib) {
                    view = ReadTokenView(lib, stores, rules,
                                         [](std::string_view text) { return FromAnsi(text); });
                  });
  view_ = std::move(view);
  FillLists();
  if (!started)
    SetDlgItemTextW(hwnd(), kStatusText, product_.strings.K_pkcs11Init_Error.c_str());
}

void TManagerForm::FillLists() {
  const TResStrs& s = product_.strings;
  const HWND tokens = layout_->Item(kTokenList);
  const HWND certificates = layout_->Item(kCertificateList);
  SendMessageW(tokens, LVM_DELETEALLITEMS, 0, 0);
  SendMessageW(certificates, LVM_DELETEALLITEMS, 0, 0);
  for (std::size_t i = 0; i < view_.tokens.size(); ++i) {
    const TokenRow& t = view_.tokens[i];
    AddRow(tokens, static_cast<int>(i), {t.label, t.serial, PinStateText(t, s)});
  }
  for (std::size_t i = 0; i < view_.certificates.size(); ++i) {
    const CertificateRow& c = view_.certificates[i];
    AddRow(
        certificates, static_cast<int>(i),
        {StageText(c, product_.settings.CertDay, s), c.subject, c.issuer, UseText(c, s),
         LocalDate(c.notBefore, c.notBeforeText), LocalDate(c.notAfter, c.notAfterText),
         c.inStore ? s.Mgr_Yes : s.Mgr_No, view_.tokens[static_cast<std::size_t>(c.token)].label},
        StageIcon(c));
  }
  if (!view_.certificates.empty())
    ListView_SetItemState(certificates, 0, LVIS_SELECTED | LVIS_FOCUSED,
                          LVIS_SELECTED | LVIS_FOCUSED);
  SetDlgItemTextW(hwnd(), kStatusText, view_.tokens.empty() ? s.P_Plug.c_str() : L"");
  for (int id : {kViewButton, kCopyButton})
    EnableWindow(layout_->Item(id), !view_.certificates.empty());
  EnableWindow(layout_->Item(kChangePinButton), !view_.tokens.empty());
}

const CertificateRow* TManagerForm::SelectedCertificate() const {
  const int row = SelectedRow(layout_->Item(kCertificateList));
  return row >= 0 && static_cast<std::size_t>(row) < view_.certificates.size()
             ? &view_.certificates[static_cast<std::size_t>(row)]
             : nullptr;
}

void TManagerForm::ViewCertificate() {
  const CertificateRow* row = SelectedCertificate();
  const Crypt32Functions& c = Crypt32();
  if (!row || !c.loaded)
    return;
  using ViewContext = BOOL(WINAPI*)(DWORD, const void*, HWND, LPCWSTR, DWORD, void*);
  static const auto view = SystemFunction<ViewContext>(L"cryptui.dll", "CryptUIDlgViewContext");
  PCCERT_CONTEXT cert = c.CertCreateCertificateContext(X509_ASN_ENCODING, row->der.data(),
                                                       static_cast<DWORD>(row->der.size()));
  if (view && cert)
    view(1 /* CERT_STORE_CERTIFICATE_CONTEXT */, cert, hwnd(), row->subject.c_str(), 0, nullptr);
  if (cert)
    c.CertFreeCertificateContext(cert);
}

void TManagerForm::CopyDetails() {
  const CertificateRow* row = SelectedCertificate();
  if (!row || !OpenClipboard(hwnd()))
    return;
  const std::wstring text = DetailsText(view_, *row, product_.settings.CertDay, product_.strings);
  EmptyClipboard();
  const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
  if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    if (void* to = GlobalLock(memory)) {
      std::memcpy(to, text.c_str(), bytes);
      GlobalUnlock(memory);
      if (!SetClipboardData(CF_UNICODETEXT, memory))
        GlobalFree(memory);
    } else {
      GlobalFree(memory);
    }
  }
  CloseClipboard();
}

void TManagerForm::ChangePin() {
  // The token picked in the list, else the selected certificate's, else the first.
  int index = SelectedRow(layout_->Item(kTokenList));
  if (index < 0)
    if (const CertificateRow* row = SelectedCertificate())
      index = row->token;
  if (index < 0)
    index = 0;
  if (static_cast<std::size_t>(index) >= view_.tokens.size())
    return;
  const TokenRow token = view_.tokens[static_cast<std::size_t>(index)];
  const PinLengthRange range = NewPinLengthRange(token.minPinLength, token.maxPinLength);
  PinDialogInputs in(product_.strings);
  in.MinPinLen = range.min;
  in.MaxPinLen = range.max;
  PinDialogOutputs out;
  if (!ShowPinDialog(hwnd(), in, &out) || out.ModalResult != IDOK)
    return;
  const PinChange change{std::move(out.OldPin), std::move(out.NewPin)};
  std::wstring message;
  bool changed = false;
  WithLibrary(exeDir_, PolicyModule(product_.policy).value_or(product_.strings.PKCS11Name),
              [&](TokenLibrary& lib) {
                // The token where the library lists it now.
                std::int32_t count = 0;
                FindAndConnectTokens(lib, count);
                for (std::int32_t i = 0; i < std::min(count, kTokenTableSize); ++i) {
                  TV9Info info;
                  if (ReadTokenInfo(lib, i, info) != 0 || FromAnsi(info.Label) != token.label ||
                      FromAnsi(info.Serial) != token.serial)
                    continue;
                  const PinChangeOutcome outcome =
                      ChangePinOnToken(lib, i, change, product_.strings);
                  message = outcome.message;
                  changed = !outcome.oldPinWrong;
                  return;
                }
                message = product_.strings.K_Find_Error;
              });
  if (message.empty())
    message = product_.strings.K_pkcs11Init_Error;
  Inform(message);
  if (changed)
    RegisterAgain();
  Refresh();
}

void TManagerForm::RegisterAgain() {
  SendCopyDataCommand(names::kCommandRegCert, names::kMainWindowClass, hwnd());
}

void TManagerForm::Inform(const std::wstring& text, UINT icon) {
  MessageBoxW(hwnd(), text.c_str(), product_.strings.P_MSGTitle.c_str(), MB_OK | icon);
}

void TManagerForm::OnCopyData(const COPYDATASTRUCT& data) {
  // Read within the size the sender states.
  if (data.dwData == 1 || !data.lpData)
    return;
  const auto* chars = static_cast<const wchar_t*>(data.lpData);
  const std::wstring text(chars, wcsnlen(chars, data.cbData / sizeof(wchar_t)));
  const auto is = [&](const wchar_t* command) {
    return CompareStringOrdinal(text.c_str(), static_cast<int>(text.size()), command, -1, TRUE) ==
           CSTR_EQUAL;
  };
  if (is(names::kCommandLoadCert))
    Refresh();
  else if (is(names::kCommandClose))
    DestroyWindow(hwnd());
}

void TManagerForm::OnCommand(int id) {
  switch (id) {
    case kViewButton:
    case IDOK:  // Enter
      ViewCertificate();
      break;
    case kCopyButton:
      CopyDetails();
      break;
    case kChangePinButton:
      ChangePin();
      break;
    case kRegisterButton:
      RegisterAgain();
      break;
    case kRefreshButton:
      Refresh();
      break;
    case IDCANCEL:  // Escape
      DestroyWindow(hwnd());
      break;
    default:
      break;
  }
}

LRESULT TManagerForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      OnCommand(LOWORD(wp));
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lp);
      if (header->idFrom == kCertificateList &&
          (header->code == NM_DBLCLK || header->code == NM_RETURN))
        ViewCertificate();
      return 0;
    }
    case WM_COPYDATA: {
      // The monitor sends from its application window.
      wchar_t cls[64] = {};
      GetClassNameW(reinterpret_cast<HWND>(wp), cls, 64);
      const std::wstring sender(cls);
      if ((sender == names::kApplicationWindowClass || sender == names::kMainWindowClass) && lp)
        OnCopyData(*reinterpret_cast<const COPYDATASTRUCT*>(lp));
      return 0;
    }
    case WM_DEVICECHANGE:
      if (wp == DBT_DEVICEARRIVAL || wp == DBT_DEVICEREMOVECOMPLETE)
        SetTimer(hwnd(), kDeviceSettleTimer, kDeviceSettleMs, nullptr);
      return TRUE;
    case WM_TIMER:
      if (wp == kDeviceSettleTimer) {
        KillTimer(hwnd(), kDeviceSettleTimer);
        Refresh();
      }
      return 0;
    case WM_DPICHANGED:
      layout_->OnDpiChanged(wp, lp);
      ApplyTexts();
      return 0;
    case WM_CLOSE:
      DestroyWindow(hwnd());
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return Window::HandleMessage(msg, wp, lp);
  }
}
