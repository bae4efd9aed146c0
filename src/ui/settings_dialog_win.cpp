#include "ui/settings_dialog_win.h"

#include <memory>
#include <vector>

#include "config/app_config.h"
#include "config/policy.h"
#include "config/data_folders.h"
#include "config/fixed_names.h"
#include "config/private_profile_win.h"
#include "i18n/res_strs.h"
#include "ui/settings_form.h"
#include "win32/common_controls_win.h"
#include "win32/dialog_layout_win.h"
#include "win32/modal_win.h"
#include "base/unique_handle_win.h"
#include "win32/window_win.h"

namespace {

constexpr int kClientWidth = 401, kClientHeight = 316;

// In tab order; the frame goes under the controls it holds.
constexpr ControlSpec kDesign[] = {
    {kOpenUrlBox, L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, 20, 28, 360, 20},
    {kDefaultBrowserRadio, L"BUTTON", BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, 36, 82, 165, 20},
    {kExplorerRadio, L"BUTTON", BS_AUTORADIOBUTTON, 206, 82, 175, 20},
    {kCertDayEdit, L"EDIT", ES_NUMBER | WS_BORDER | WS_TABSTOP | WS_GROUP, 36, 136, 56, 22},
    {kCertDaySpin, UPDOWN_CLASSW,
     UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS | UDS_NOTHOUSANDS, 0, 0, 0, 0},
    {kUrlEdit, L"EDIT", ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 36, 52, 344, 22},
    {kCertTipsBox, L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, 20, 112, 360, 20},
    {kLanguageList, L"COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 110, 202, 270, 200},
    {kDefaultPinBox, L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, 20, 170, 360, 20},
    {kSkipExpiredBox, L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, 20, 236, 360, 20},
    {kCertDayHint, L"STATIC", SS_LEFT | SS_NOPREFIX, 112, 139, 270, 18},
    {kLanguageCaption, L"STATIC", SS_LEFT | SS_NOPREFIX, 20, 205, 86, 18},
    {kSaveButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 226, 280, 80, 26},
    {kSettingsCancelButton, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 313, 280, 80, 26},
    {kSettingsGroup, L"BUTTON", BS_GROUPBOX, 8, 6, 385, 262},
    {kPolicyHint, L"STATIC", SS_LEFT | SS_NOPREFIX, 10, 276, 210, 34},
};

// A caption followed by a colon, unless its text already ends in one.
std::wstring WithColon(const std::wstring& text) {
  if (!text.empty() && (text.back() == L':' || text.back() == L'\uFF1A'))
    return text;
  return text + L":";
}

class TProjectConfigForm : public Window {
 public:
  explicit TProjectConfigForm(const SettingsDialogInputs& in) : in_(in) {}

  bool Create(HWND owner) {
    if (!CreateWindowOfClass(names::kSettingsDialogClass, L"", WS_POPUP | WS_CAPTION | WS_SYSMENU,
                             WS_EX_DLGMODALFRAME, owner))
      return false;
    layout_ = std::make_unique<DialogLayout>(hwnd(), in_.strings);
    FormCreate(owner);
    ApplyLanguageTexts();
    LoadSettings();
    return true;
  }
  void RunModal(HWND owner) { RunModalLoop(hwnd(), owner, done_); }

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override {
    switch (msg) {
      case WM_COMMAND:
        OnCommand(LOWORD(wp), HIWORD(wp));
        return 0;
      case WM_CLOSE:  // the close box, or the system close command on removal
        done_ = true;
        return 0;
      case WM_DPICHANGED:
        layout_->OnDpiChanged(wp, lp);
        AttachSpin();
        return 0;
      default:
        return Window::HandleMessage(msg, wp, lp);
    }
  }

 private:
  HWND Item(int id) const { return layout_->Item(id); }
  bool Ticked(int id) const { return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
  void Tick(int id, bool on) {
    SendMessageW(Item(id), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  std::wstring Text(int id) const {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(Item(id))) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(Item(id), text.data(), static_cast<int>(text.size()))));
    return text;
  }

  void FormCreate(HWND owner) {
    layout_->CreateControls(kDesign);
    SendMessageW(Item(kCertDayEdit), EM_LIMITTEXT, 3, 0);
    AttachSpin();
    SendMessageW(Item(kCertDaySpin), UDM_SETRANGE32, 0, kMaxCertDay);
    SendMessageW(Item(kUrlEdit), EM_LIMITTEXT, kMaxUrlLength, 0);
    layout_->Underlay(kSettingsGroup);
    Tick(kDefaultBrowserRadio, true);  // as designed
    // Fixed client size, centred on the owner's monitor.
    layout_->SetClientSize(kClientWidth, kClientHeight);
    layout_->CentreOnOwnerMonitor(owner);
  }
  // The up-down control sits at its buddy's right edge, wherever that is.
  void AttachSpin() {
    SendMessageW(Item(kCertDaySpin), UDM_SETBUDDY, reinterpret_cast<WPARAM>(Item(kCertDayEdit)), 0);
  }

  void ApplyLanguageTexts() {
    layout_->ApplyTableFont();

    SetWindowTextW(hwnd(), in_.strings.Main_Form_PopupMenu_Advanced.c_str());
    const std::pair<int, std::wstring> texts[] = {
        {kSettingsGroup, in_.strings.Config_Form_GroupBox},
        {kOpenUrlBox, WithColon(in_.strings.Config_Form_CBOpenURL)},
        {kDefaultBrowserRadio, in_.strings.Config_Form_RBtn1},
        {kExplorerRadio, in_.strings.Config_Form_RBtn2},
        {kCertTipsBox, WithColon(in_.strings.Config_Form_CBCertday)},
        {kCertDayHint, in_.strings.Config_Form_Lable},
        {kSaveButton, in_.strings.Config_Form_btnSave},
        {kSettingsCancelButton, in_.strings.C_Btn_Cancel},
        {kLanguageCaption, in_.strings.Config_Form_Language},
        {kDefaultPinBox, in_.strings.Config_Form_DefaultPIN},
        {kSkipExpiredBox, in_.strings.Config_Form_SkipExpired},
        {kPolicyHint, in_.strings.Config_Form_Policy}};
    for (const auto& [id, text] : texts)
      SetDlgItemTextW(hwnd(), id, text.c_str());
  }

  std::wstring SettingsPath() const { return GetUserDataDir() + names::kUserConfigFile; }
  TLanguageInfo ReadLanguages() const {
    TLanguageInfo list;
    WinProfileFiles files;
    ReadLanguageList(files, in_.exeDir + names::kLanguagesFolder + names::kLanguageListFile, list);
    return list;
  }

  void LoadSettings() {
    stored_ = TConfigInfo{};
    const bool readOk = ReadAppConfig(SettingsPath(), stored_) == 0;
    // What the administrator set is shown, and cannot be changed here.
    const SettingsControls c =
        LoadSettingsControls(readOk, WithPolicySettings(in_.policy, stored_), ReadLanguages());
    Tick(kOpenUrlBox, c.openUrl);
    SetDlgItemTextW(hwnd(), kUrlEdit, c.url.c_str());
    Tick(kExplorerRadio, c.internetExplorer);
    Tick(kDefaultBrowserRadio, !c.internetExplorer);
    Tick(kCertTipsBox, c.certTips);
    SetDlgItemTextW(hwnd(), kCertDayEdit, c.certDay.c_str());
    Tick(kDefaultPinBox, c.defaultPin);
    Tick(kSkipExpiredBox, c.skipExpired);
    SendMessageW(Item(kLanguageList), CB_RESETCONTENT, 0, 0);
    for (const std::wstring& name : c.languageNames)
      SendMessageW(Item(kLanguageList), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    SendMessageW(Item(kLanguageList), CB_SETCURSEL, static_cast<WPARAM>(c.selectedLanguage), 0);
    languageEntries_ = c.languageEntries;
    EnableDependents();
  }

  // cbOpenURLClick and cbCertDayClick; a control whose setting the policy
  // sets stays disabled.
  void EnableDependents() {
    const Policy& p = in_.policy;
    EnableWindow(Item(kOpenUrlBox), !p.URLOpenMode);
    EnableWindow(Item(kUrlEdit), Ticked(kOpenUrlBox) && !p.URL);
    for (int id : {kDefaultBrowserRadio, kExplorerRadio})
      EnableWindow(Item(id), Ticked(kOpenUrlBox) && !p.BrowserMode);
    EnableWindow(Item(kCertTipsBox), !p.CertTips);
    EnableWindow(Item(kCertDayEdit), Ticked(kCertTipsBox) && !p.CertDay);
    EnableWindow(Item(kCertDaySpin), Ticked(kCertTipsBox) && !p.CertDay);
    EnableWindow(Item(kDefaultPinBox), !p.DefaultPINMode);
    EnableWindow(Item(kSkipExpiredBox), !p.SkipExpiredCertificates);
    EnableWindow(Item(kLanguageList), !p.LanguageID);
    ShowWindow(Item(kPolicyHint), SetsAnyUserSetting(p) ? SW_SHOWNA : SW_HIDE);
  }

  void OnCommand(int id, int code) {
    switch (id) {
      case kOpenUrlBox:
      case kCertTipsBox:
        if (code == BN_CLICKED)
          EnableDependents();
        break;
      case kSaveButton:
        if (code == BN_CLICKED)
          btnSaveClick();
        break;
      case kSettingsCancelButton:
      case IDCANCEL:  // Escape
        done_ = true;
        break;
      default:
        break;
    }
  }

  void Box(const std::wstring& text) {
    MessageBoxW(hwnd(), text.c_str(), in_.strings.P_MSGTitle.c_str(), MB_OK | MB_ICONINFORMATION);
  }

  void btnSaveClick() {
    SettingsControls c;
    c.openUrl = Ticked(kOpenUrlBox);
    c.url = Text(kUrlEdit);
    c.internetExplorer = Ticked(kExplorerRadio);
    c.certTips = Ticked(kCertTipsBox);
    c.certDay = Text(kCertDayEdit);
    c.defaultPin = Ticked(kDefaultPinBox);
    c.skipExpired = Ticked(kSkipExpiredBox);
    c.languageEntries = languageEntries_;
    c.selectedLanguage = static_cast<int>(SendMessageW(Item(kLanguageList), CB_GETCURSEL, 0, 0));
    auto toSave = BuildSettingsToSave(c, ReadLanguages(), stored_);
    if (!toSave) {
      Box(in_.strings.S_URLNull);
      SetFocus(Item(kUrlEdit));
      return;  // the dialog stays open; nothing is written
    }
    // The user's file keeps the user's own values where the policy sets one.
    toSave->record = WithoutPolicySettings(in_.policy, toSave->record, stored_);
    if (in_.policy.LanguageID)
      toSave->languageCsp.reset();
    if (WriteAppConfig(SettingsPath(), toSave->record) == 0) {
      if (toSave->languageCsp)
        WriteLanguageCspToRegistry(names::kRegistryKeyPath, *toSave->languageCsp);
      Box(in_.strings.S_Save_Yes);
    } else {
      Box(in_.strings.S_Save_No);
    }
    done_ = true;
  }

  const SettingsDialogInputs& in_;
  std::unique_ptr<DialogLayout> layout_;
  TConfigInfo stored_{};
  std::vector<int> languageEntries_;
  bool done_ = false;
};

}  // namespace

bool ShowSettingsDialog(HWND owner, const SettingsDialogInputs& in) {
  common_controls::InitClasses(ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES);  // the up-down control
  TProjectConfigForm form(in);
  if (!form.Create(owner))
    return false;
  form.RunModal(owner);
  return true;
}
