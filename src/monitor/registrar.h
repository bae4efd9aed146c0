#pragma once
#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "config/policy.h"
#include "i18n/res_strs.h"
#include "monitor/monitor_ports.h"
#include "monitor/program_state.h"
#include "token/token_library.h"
#include "token/token_operations.h"

// What goes into the certificate store and out again: the registration pass
// of a token, the provider the links name, the certificates of ours in "MY",
// the roots the user declined, and the events that must wait while Windows
// asks the user to trust a root.
class Registrar {
 public:
  // Events that arrive while the library is inside an add to "ROOT", whose
  // prompt's message loop delivers them: each is kept at most once and run,
  // by the owner, as soon as the add has returned.
  enum class Held { kRemoval, kRescan, kReRegistration };
  using RunHeld = std::function<void(Held)>;

  Registrar(ProgramState& state,
            TokenLibrary& lib,
            MonitorPorts& ports,
            TResStrs& strings,
            const TConfigInfo& config,
            const Policy& policy,
            RunHeld runHeld)
      : state_(state),
        lib_(lib),
        ports_(ports),
        strings_(strings),
        config_(config),
        policy_(policy),
        runHeld_(std::move(runHeld)) {}

  struct PassResult {
    std::int32_t status;
    std::int32_t registered;  // certificates that went into a store
  };
  // One registration pass of a token, reported by the caller or not at all.
  PassResult Pass(std::int32_t token);
  // A pass whose outcome goes to the Application log.
  std::int32_t RegisterTokenCertificates(std::int32_t token);

  // At start-up: whether the string table's provider is installed, and the
  // provider every link of this run names.
  void DecideProvider();
  // Whether the provider named by the string table is installed; an empty
  // name never is.
  bool IsProviderRegistered();
  // The provider certificates are registered and removed with: the policy's,
  // else the string table's when it is installed, else Microsoft's. Decided at start-up (or
  // at the first pass) and kept, whatever a language reload does.
  const std::wstring& ProviderName();

  // Takes every certificate of ours out of "MY", and says how many went (CA
  // certificates stay in their stores).
  void RemoveOurCertificates();
  // Whether certificates this run added to "MY" are still there.
  bool HoldsCertificates() const { return !inMy_.empty(); }
  // The manager's "RegCert" asks again for roots the user declined.

  // Whether the library is inside an add to "ROOT": Windows asks the user to
  // trust a new root in a modal box whose message loop delivers the
  // program's events, and the library must not be entered again below it.
  bool InsideRootPrompt() const { return rootPromptDepth_ > 0; }
  // Keeps an event until the root prompt is answered, saying so in the log
  // the first time.
  void Hold(Held event, const wchar_t* what);

  void UsePolicy(const Policy& policy) { policy_ = policy; }
  // How many tokens the last search found: with more than one, key links
  // name their token.
  void SetTokensPresent(std::int32_t count) { tokensPresent_ = count; }

  // The program ends: a pass under way adds nothing more, and no held event
  // runs.
  void Stop() { stopped_ = true; }

 private:
  void RunHeldEvents();
  void LogOverflow(const TV9Info& info, const ContainerOverflow& overflow);
  // The container name a certificate of info's container is linked by.
  std::string KeyLink(const TV9Info& info, const std::string& container) const;
  // A container's certificate into "MY", linked to its key (link: the
  // container name the link carries): the library's result.
  std::int32_t AddWithKey(const TV9CertInfo& cert,
                          const std::string& link,
                          std::int32_t keySpec,
                          std::int32_t& registered);
  // A root into "ROOT" (asked once per run), an intermediate into "CA".
  void AddStandalone(const TV9CertInfo& cert, std::int32_t& registered);

  ProgramState& state_;
  TokenLibrary& lib_;
  MonitorPorts& ports_;
  TResStrs& strings_;
  const TConfigInfo& config_;  // the settings in effect, read anew by the session
  Policy policy_;
  RunHeld runHeld_;

  bool stopped_ = false;
  std::int32_t tokensPresent_ = 0;
  std::wstring providerName_;
  int rootPromptDepth_ = 0;
  std::set<std::string> declinedRoots_;  // the DER of each root the user declined
  std::set<std::string> inMy_;  // the DER of each certificate added to "MY" since our last removal
  std::set<Held> held_;
};
