#include "platform/keyring/keyring.h"

#include <cstdlib>
#include <memory>
#include <mutex>

#include <libsecret/secret.h>

#include "platform/os/session_bus.h"
#include "text/text.h"

namespace sonquarry::keyring {

namespace {

// The schema desktop file managers keep SMB passwords under.
SecretSchema NetworkPasswordSchema(SecretSchemaFlags Flags) {
  return {"org.gnome.keyring.NetworkPassword",
          Flags,
          {{"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
           {"domain", SECRET_SCHEMA_ATTRIBUTE_STRING},
           {"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
           {"protocol", SECRET_SCHEMA_ATTRIBUTE_STRING},
           {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
          0,
          nullptr,
          nullptr,
          nullptr,
          nullptr,
          nullptr,
          nullptr,
          nullptr};
}
// Matches entries with and without the schema's name among their attributes (older file managers
// stored none).
const SecretSchema SearchSchema = NetworkPasswordSchema(SECRET_SCHEMA_DONT_MATCH_NAME);
// Stores the name too, as file managers do.
const SecretSchema StoreSchema = NetworkPasswordSchema(SECRET_SCHEMA_NONE);

// libsecret's synchronous calls, one at a time.
std::mutex Lock;

struct TErrorFree {
  void operator()(GError *E) const { g_error_free(E); }
};
using TError = std::unique_ptr<GError, TErrorFree>;

std::string Message(const char *What, GError *E) {
  return std::string(What) + " (" + (E && E->message ? E->message : "unknown error") + ")";
}

std::string Attribute(GHashTable *Attrs, const char *Key) {
  const auto *V = static_cast<const char *>(g_hash_table_lookup(Attrs, Key));
  return V ? V : "";
}

} // namespace

bool HasSessionBus(std::string &Why) {
  // Without an address GLib would try to autolaunch a bus (dbus-launch) on an X display.
  if (!platform::SessionBusAddress().empty()) return true;
  Why = "no D-Bus session bus";
  return false;
}

std::vector<NetworkPassword> FindSmbPasswords(const std::vector<std::string> &Servers,
                                              std::string &Why) {
  std::vector<NetworkPassword> Out;
  Why.clear();
  if (!HasSessionBus(Why)) return Out;
  std::lock_guard<std::mutex> L(Lock);
  GError *Raw = nullptr;
  SecretService *Service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &Raw);
  TError E(Raw);
  if (!Service) {
    Why = Message("no Secret Service", E.get());
    return Out;
  }
  GHashTable *Attrs = g_hash_table_new(g_str_hash, g_str_equal);
  g_hash_table_insert(Attrs, const_cast<char *>("protocol"), const_cast<char *>("smb"));
  Raw = nullptr;
  GList *Items =
      secret_service_search_sync(Service, &SearchSchema, Attrs, SECRET_SEARCH_ALL, nullptr, &Raw);
  E.reset(Raw);
  g_hash_table_unref(Attrs);
  if (E) {
    Why = Message("no Secret Service", E.get());
    g_object_unref(Service);
    return Out;
  }
  std::size_t Locked = 0;
  for (GList *I = Items; I; I = I->next) {
    auto *Item = static_cast<SecretItem *>(I->data);
    GHashTable *A = secret_item_get_attributes(Item);
    NetworkPassword P{Attribute(A, "user"), Attribute(A, "domain"), Attribute(A, "server"), ""};
    g_hash_table_unref(A);
    bool Wanted = false;
    for (const auto &S : Servers)
      Wanted = Wanted || text::AsciiLower(S) == text::AsciiLower(P.Server);
    if (!Wanted || P.User.empty()) continue;
    if (secret_item_get_locked(Item)) {
      ++Locked;
      continue;
    }
    Raw = nullptr;
    if (!secret_item_load_secret_sync(Item, nullptr, &Raw)) {
      E.reset(Raw);
      Why = Message("the keyring's entry could not be read", E.get());
      continue;
    }
    E.reset(Raw);
    if (SecretValue *V = secret_item_get_secret(Item)) {
      if (const char *T = secret_value_get_text(V)) P.Password = T;
      secret_value_unref(V);
      Out.push_back(std::move(P));
    }
  }
  g_list_free_full(Items, g_object_unref);
  g_object_unref(Service);
  if (Locked) Why = "the keyring is locked";
  return Out;
}

bool StoreSmbPassword(const NetworkPassword &P, std::string &Why) {
  Why.clear();
  if (!HasSessionBus(Why)) return false;
  std::lock_guard<std::mutex> L(Lock);
  GHashTable *Attrs = g_hash_table_new(g_str_hash, g_str_equal);
  g_hash_table_insert(Attrs, const_cast<char *>("user"), const_cast<char *>(P.User.c_str()));
  if (!P.Domain.empty())
    g_hash_table_insert(Attrs, const_cast<char *>("domain"), const_cast<char *>(P.Domain.c_str()));
  g_hash_table_insert(Attrs, const_cast<char *>("server"), const_cast<char *>(P.Server.c_str()));
  g_hash_table_insert(Attrs, const_cast<char *>("protocol"), const_cast<char *>("smb"));
  const std::string Label = P.User + "@" + P.Server + " (smb)";
  GError *Raw = nullptr;
  const bool Ok = secret_password_storev_sync(&StoreSchema, Attrs, SECRET_COLLECTION_DEFAULT,
                                              Label.c_str(), P.Password.c_str(), nullptr, &Raw);
  TError E(Raw);
  g_hash_table_unref(Attrs);
  if (!Ok) Why = Message("the keyring did not store it", E.get());
  return Ok;
}

} // namespace sonquarry::keyring
