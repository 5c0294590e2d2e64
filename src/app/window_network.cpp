#include "app/program_network.h"

#include "platform/os/main_thread.h"
#include "ui/dialogs/login_form.h"

namespace sonquarry {

std::shared_ptr<TNetwork> MakeWindowNetwork(smb::SmbProviderOptions Options) {
  Options.AskLogin = [](const smb::SmbLoginQuestion &Q) -> std::optional<smb::SmbLoginAnswer> {
    const TLoginRequest Request{Q.Computer, Q.User, Q.Domain, Q.Again, Q.CanRemember};
    std::optional<TLoginReply> Reply;
    // False when the window closed meanwhile: nobody answered, the computer is left out.
    if (!platform::MainThread().RunBlocking([&] { Reply = AskLogin(Request); }) || !Reply)
      return std::nullopt;
    return smb::SmbLoginAnswer{{Reply->User, Reply->Password, Reply->Domain}, Reply->Remember};
  };
  return MakeProgramNetwork(std::move(Options));
}

} // namespace sonquarry
