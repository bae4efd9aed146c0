#pragma once
#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>

#include "config/product_settings_win.h"
#include "manager/token_view.h"
#include "win32/dialog_layout_win.h"
#include "win32/window_win.h"

// The manager application's main window, class "TQZCorvanexE_Mgr": the
// present tokens with their PIN state, and their certificates with use,
// dates, place in the store and stage. It reads the tokens through our
// library only for as long as a refresh or an action takes, refreshes on
// "LoadCert" from the monitor and on device arrival or removal, ends on
// "CLOSE", and asks the monitor to register again with "RegCert".
class TManagerForm : public Window {
 public:
  enum Control : int {
    kTokensCaption = 401,
    kTokenList,
    kCertificatesCaption,
    kCertificateList,
    kViewButton,
    kCopyButton,
    kChangePinButton,
    kRegisterButton,
    kRefreshButton,
    kStatusText,
  };
  // The columns of the certificate list, in order.
  enum CertificateColumn : int {
    kStageColumn,
    kSubjectColumn,
    kIssuerColumn,
    kUseColumn,
    kNotBeforeColumn,
    kNotAfterColumn,
    kInStoreColumn,
    kTokenColumn,
  };

  static std::unique_ptr<TManagerForm> Create(const std::wstring& exeDir, ProductSettings product);
  ~TManagerForm() override;

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  TManagerForm(const std::wstring& exeDir, ProductSettings product);
  void CreateControls();
  void ApplyTexts();
  void Refresh();
  void FillLists();
  const CertificateRow* SelectedCertificate() const;
  void ViewCertificate();
  void CopyDetails();
  void ChangePin();
  void RegisterAgain();
  void OnCopyData(const COPYDATASTRUCT& data);
  void OnCommand(int id);
  void Inform(const std::wstring& text, UINT icon = MB_ICONINFORMATION);

  std::wstring exeDir_;
  ProductSettings product_;
  std::unique_ptr<DialogLayout> layout_;
  TokenView view_;
  HIMAGELIST stageIcons_ = nullptr;
  HDEVNOTIFY deviceNotification_ = nullptr;
};
