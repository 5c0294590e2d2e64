#include "platform/smb_copy_source.h"

#if __has_include(<libsmbclient.h>)

#include "platform/smb_auth.h"
#include "platform/smb_url.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libsmbclient.h>
#include <sys/stat.h>

namespace sonquarry {
namespace {

void CopyOut(char *To, int Size, const std::string &From) {
  if (Size <= 0) return;
  const std::size_t n = std::min(From.size(), std::size_t(Size - 1));
  std::memcpy(To, From.data(), n);
  To[n] = '\0';
}

void DropLog(void *, int, const char *) {}

// One libsmbclient context of the copying thread.
class TSmbCopySource final : public ICopySource {
public:
  ~TSmbCopySource() override {
    Close();
    if (Ctx) smbc_free_context(Ctx, 1);
  }

  bool Open(const std::string &UncPath, int64_t &Size, std::string &Error) override {
    Close();
    if (!Ctx && !MakeContext(Error)) return false;
    const std::string url = platform::UncToSmbUrl(UncPath);
    int err = ENOENT;
    for (const auto &who : platform::SmbIdentities(
             platform::LoadCredentialsFile(platform::DefaultCredentialsFile()))) {
      if (Cancelled) return false;
      Current = who;
      smbc_setUser(Ctx, Current.User.c_str());
      File = smbc_getFunctionOpen(Ctx)(Ctx, url.c_str(), O_RDONLY, 0);
      if (File) break;
      err = errno;
      if (err != EACCES && err != EPERM) break;
    }
    if (!File) {
      Error = url + ": " + std::strerror(err);
      return false;
    }
    struct stat st;
    Size = smbc_getFunctionFstat(Ctx)(Ctx, File, &st) == 0 ? int64_t(st.st_size) : -1;
    return true;
  }

  long Read(char *Buffer, size_t Capacity, std::string &Error) override {
    if (Cancelled || !File) {
      Error = "cancelled";
      return -1;
    }
    const ssize_t n = smbc_getFunctionRead(Ctx)(Ctx, File, Buffer, Capacity);
    if (n < 0) {
      Error = std::string("read: ") + std::strerror(errno);
      return -1;
    }
    return static_cast<long>(n);
  }

  void Close() override {
    if (File) smbc_getFunctionClose(Ctx)(Ctx, File);
    File = nullptr;
  }

  void Cancel() override { Cancelled = true; }

private:
  bool MakeContext(std::string &Error) {
    Ctx = smbc_new_context();
    if (!Ctx) {
      Error = std::string("libsmbclient: ") + std::strerror(errno);
      return false;
    }
    smbc_setDebug(Ctx, 0);
    smbc_setLogCallback(Ctx, nullptr, DropLog);
    smbc_setTimeout(Ctx, 5000);
    smbc_setOptionUseKerberos(Ctx, 0);
    smbc_setOptionFallbackAfterKerberos(Ctx, 1);
    smbc_setOptionUseCCache(Ctx, 0);
    smbc_setOptionUserData(Ctx, this);
    smbc_setFunctionAuthDataWithContext(Ctx, Auth);
    if (!smbc_init_context(Ctx)) {
      Error = std::string("libsmbclient: ") + std::strerror(errno);
      smbc_free_context(Ctx, 0);
      Ctx = nullptr;
      return false;
    }
    return true;
  }

  static void Auth(SMBCCTX *C, const char *, const char *, char *Wg, int WgLen, char *User,
                   int UserLen, char *Password, int PasswordLen) {
    auto *self = static_cast<TSmbCopySource *>(smbc_getOptionUserData(C));
    CopyOut(User, UserLen, self->Current.User);
    CopyOut(Password, PasswordLen, self->Current.Password);
    if (!self->Current.Domain.empty()) CopyOut(Wg, WgLen, self->Current.Domain);
  }

  SMBCCTX *Ctx = nullptr;
  SMBCFILE *File = nullptr;
  platform::SmbIdentity Current;
  std::atomic<bool> Cancelled{false};
};

} // namespace

std::unique_ptr<ICopySource> MakeSmbCopySource() { return std::make_unique<TSmbCopySource>(); }

} // namespace sonquarry

#else
// A layer built without libsmbclient reads no SMB files here.
namespace sonquarry {
std::unique_ptr<ICopySource> MakeSmbCopySource() { return nullptr; }
} // namespace sonquarry
#endif
