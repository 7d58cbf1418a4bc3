#include "platform/win32/registry.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

namespace keld::win32 {
namespace {

using KeyId = std::int64_t;

constexpr std::array<std::string_view, 4> kRootNames = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                                        "HKEY_LOCAL_MACHINE", "HKEY_USERS"};

constexpr ACCESS_MASK kGenericRead = 0x80000000;
constexpr ACCESS_MASK kGenericWrite = 0x40000000;

std::string folded(std::string_view name) {
  std::string out(name);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Splits a key path at its backslashes; empty parts (a trailing backslash) are dropped.
std::vector<std::string> splitPath(std::string_view path) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    const auto end = path.find('\\');
    if (end != 0) parts.emplace_back(path.substr(0, end));
    if (end == std::string_view::npos) break;
    path.remove_prefix(end + 1);
  }
  return parts;
}

ACCESS_MASK mapGeneric(ACCESS_MASK mask) {
  ACCESS_MASK out = mask & ~(kGenericRead | kGenericWrite | GENERIC_EXECUTE | GENERIC_ALL);
  if (mask & kGenericRead) out |= KEY_READ;
  if (mask & kGenericWrite) out |= KEY_WRITE;
  if (mask & GENERIC_EXECUTE) out |= KEY_EXECUTE;
  if (mask & GENERIC_ALL) out |= KEY_ALL_ACCESS;
  return out;
}

const std::vector<AccessEntry>& defaultEntries() {
  static const std::vector<AccessEntry> entries = {
      {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, sidFromText(kSidAdministrators)},
      {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, sidFromText(kSidSystem)},
      {ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_READ, sidFromText(kSidUsers)},
  };
  return entries;
}

std::vector<std::vector<std::uint8_t>> tokenOf(RegistryIdentity identity) {
  std::vector<std::string_view> sids = {kSidEveryone, kSidAuthenticatedUsers};
  switch (identity) {
    case RegistryIdentity::System:
      sids.push_back(kSidSystem);
      sids.push_back(kSidAdministrators);
      break;
    case RegistryIdentity::Administrator:
      sids.push_back(kSidAdministrators);
      sids.push_back(kSidUsers);
      break;
    case RegistryIdentity::User:
      sids.push_back(kSidUsers);
      break;
  }
  std::vector<std::vector<std::uint8_t>> token;
  for (std::string_view sid : sids) token.push_back(sidFromText(sid));
  return token;
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) == SQLITE_OK; }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, std::int64_t value) {
    if (ok_) ok_ = sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
    return *this;
  }
  Statement& bind(int index, std::string_view text) {
    if (ok_) ok_ = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) == SQLITE_OK;
    return *this;
  }
  Statement& bindBlob(int index, std::span<const std::uint8_t> data) {
    // A zero-length blob must still be a blob, not NULL.
    static const std::uint8_t empty = 0;
    if (ok_) ok_ = sqlite3_bind_blob(stmt_, index, data.empty() ? &empty : data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT) == SQLITE_OK;
    return *this;
  }
  Statement& bindNull(int index) {
    if (ok_) ok_ = sqlite3_bind_null(stmt_, index) == SQLITE_OK;
    return *this;
  }
  // True while a row is ready; false at the end or on an error (see failed()).
  bool row() {
    if (!ok_) return false;
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) ok_ = false;
    return false;
  }
  bool run() {
    row();
    return ok_;
  }
  bool failed() const { return !ok_; }
  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string text(int column) const {
    const auto* p = sqlite3_column_text(stmt_, column);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))) : std::string{};
  }
  bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::vector<std::uint8_t> blob(int column) const {
    const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    const int n = sqlite3_column_bytes(stmt_, column);
    return p ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>{};
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  bool ok_ = false;
};

struct OpenKey {
  KeyId id = 0;
  ACCESS_MASK granted = 0;
};

struct Store {
  // A library that carries the store may be unloaded (FreeLibrary) while
  // the process goes on; its connection must not outlive it.
  ~Store() {
    if (db) sqlite3_close(db);
  }
  std::recursive_mutex lock;
  sqlite3* db = nullptr;
  std::string pathOverride;
  std::optional<RegistryIdentity> identityOverride;
  std::map<std::uintptr_t, OpenKey> handles;
  std::uintptr_t nextHandle = 0x1000;
};

Store& store() {
  static Store s;
  return s;
}

std::string defaultPath() {
  if (const char* path = std::getenv("KELD_REGISTRY"); path && *path) return path;
  if (geteuid() == 0) return "/var/lib/keld/registry.db";
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) return std::string(state) + "/keld/registry.db";
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.local/state/keld/registry.db";
  return "registry.db";
}

RegistryIdentity currentIdentity(const Store& s) {
  if (s.identityOverride) return *s.identityOverride;
  if (const char* id = std::getenv("KELD_IDENTITY")) {
    const std::string name = folded(id);
    if (name == "system") return RegistryIdentity::System;
    if (name == "administrator" || name == "admin") return RegistryIdentity::Administrator;
    if (name == "user") return RegistryIdentity::User;
  }
  return geteuid() == 0 ? RegistryIdentity::System : RegistryIdentity::User;
}

bool exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL,"
    " security BLOB, UNIQUE(parent, folded));"
    "CREATE TABLE IF NOT EXISTS keyvalues("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL, name TEXT NOT NULL,"
    " folded TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, folded));"
    "INSERT OR IGNORE INTO keys(parent, name, folded) VALUES"
    " (0, 'HKEY_CLASSES_ROOT', 'hkey_classes_root'), (0, 'HKEY_CURRENT_USER', 'hkey_current_user'),"
    " (0, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine'), (0, 'HKEY_USERS', 'hkey_users');";

sqlite3* database(Store& s) {
  if (s.db) return s.db;
  const std::string path = s.pathOverride.empty() ? defaultPath() : s.pathOverride;
  std::error_code ignored;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  // Another process may hold the write lock for the length of one change.
  sqlite3_busy_timeout(db, 5000);
  // WAL keeps every commit atomic across a crash; NORMAL syncs at checkpoints only.
  exec(db, "PRAGMA journal_mode=WAL");
  exec(db, "PRAGMA synchronous=NORMAL");
  if (!exec(db, "BEGIN IMMEDIATE") || !exec(db, kSchema) || !exec(db, "COMMIT")) {
    sqlite3_close(db);
    return nullptr;
  }
  s.db = db;
  return db;
}

// All-or-nothing scope for one change of the store.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) { begun_ = exec(db_, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (begun_ && !done_) exec(db_, "ROLLBACK");
  }
  bool begun() const { return begun_; }
  bool commit() {
    done_ = exec(db_, "COMMIT");
    return done_;
  }

 private:
  sqlite3* db_;
  bool begun_ = false;
  bool done_ = false;
};

std::optional<KeyId> rootId(sqlite3* db, std::string_view name) {
  Statement q(db, "SELECT id FROM keys WHERE parent = 0 AND folded = ?");
  q.bind(1, folded(name));
  if (q.row()) return q.integer(0);
  return std::nullopt;
}

std::optional<KeyId> childId(sqlite3* db, KeyId parent, std::string_view name) {
  Statement q(db, "SELECT id FROM keys WHERE parent = ? AND folded = ?");
  q.bind(1, parent).bind(2, folded(name));
  if (q.row()) return q.integer(0);
  return std::nullopt;
}

bool keyExists(sqlite3* db, KeyId id) {
  Statement q(db, "SELECT 1 FROM keys WHERE id = ?");
  q.bind(1, id);
  return q.row();
}

struct KeyRow {
  KeyId parent = 0;
  bool hasSecurity = false;
  std::vector<std::uint8_t> security;
};

std::optional<KeyRow> keyRow(sqlite3* db, KeyId id) {
  Statement q(db, "SELECT parent, security FROM keys WHERE id = ?");
  q.bind(1, id);
  if (!q.row()) return std::nullopt;
  return KeyRow{q.integer(0), !q.isNull(1), q.blob(1)};
}

// The entries that decide access to a key: its own DACL, or what its
// ancestors pass down to containers. nullopt: no DACL, full access.
std::optional<std::vector<AccessEntry>> effectiveEntries(sqlite3* db, KeyId id) {
  std::optional<KeyRow> row = keyRow(db, id);
  if (row && row->hasSecurity) {
    auto entries = daclEntries(row->security);
    if (!entries) return std::nullopt;
    std::erase_if(*entries, [](const AccessEntry& e) { return (e.flags & INHERIT_ONLY_ACE) != 0; });
    return entries;
  }
  int depth = 1;
  while (row && row->parent != 0) {
    const KeyId parent = row->parent;
    row = keyRow(db, parent);
    if (row && row->hasSecurity) {
      auto entries = daclEntries(row->security);
      if (!entries) return std::nullopt;
      std::erase_if(*entries, [depth](const AccessEntry& e) {
        return (e.flags & CONTAINER_INHERIT_ACE) == 0 || (depth > 1 && (e.flags & NO_PROPAGATE_INHERIT_ACE));
      });
      return entries;
    }
    ++depth;
  }
  return defaultEntries();
}

ACCESS_MASK grantedAccess(sqlite3* db, KeyId id, RegistryIdentity identity) {
  const auto entries = effectiveEntries(db, id);
  if (!entries) return KEY_ALL_ACCESS | SYNCHRONIZE;
  const auto token = tokenOf(identity);
  ACCESS_MASK granted = 0;
  for (const AccessEntry& e : *entries) {
    if (e.type != ACCESS_ALLOWED_ACE_TYPE) continue;
    if (std::find(token.begin(), token.end(), e.sid) != token.end()) granted |= mapGeneric(e.mask);
  }
  return granted;
}

LONG checkAccess(sqlite3* db, KeyId id, REGSAM desired, RegistryIdentity identity, ACCESS_MASK& granted) {
  const ACCESS_MASK allowed = grantedAccess(db, id, identity);
  const ACCESS_MASK wanted = mapGeneric(desired & ~MAXIMUM_ALLOWED);
  if (wanted & ~allowed) return static_cast<LONG>(ERROR_ACCESS_DENIED);
  granted = (desired & MAXIMUM_ALLOWED) ? allowed : wanted;
  return ERROR_SUCCESS;
}

// The key a handle stands for and the access it was opened with.
LONG resolveHandle(Store& s, sqlite3* db, HKEY key, OpenKey& out) {
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  if (value >= 0x80000000u && value <= 0x80000003u) {
    const auto id = rootId(db, kRootNames[value - 0x80000000u]);
    if (!id) return static_cast<LONG>(ERROR_BADDB);
    out = {*id, grantedAccess(db, *id, currentIdentity(s))};
    return ERROR_SUCCESS;
  }
  const auto it = s.handles.find(value);
  if (it == s.handles.end()) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  if (!keyExists(db, it->second.id)) return static_cast<LONG>(ERROR_KEY_DELETED);
  out = it->second;
  return ERROR_SUCCESS;
}

// One call's hold on the store: its lock for the length of the call and the
// database. `error` is set when the database cannot be opened.
struct StoreSession {
  std::unique_lock<std::recursive_mutex> guard;
  Store& store;
  sqlite3* db = nullptr;
  LONG error = ERROR_SUCCESS;
};

StoreSession openSession() {
  Store& s = store();
  StoreSession session{std::unique_lock(s.lock), s, database(s)};
  if (!session.db) session.error = static_cast<LONG>(ERROR_BADDB);
  return session;
}

// The session and the key a caller's handle stands for, checked for the
// rights `needed` that the handle must have been opened with (none: the
// call checks the key it reaches through the handle itself).
struct KeyAccess {
  StoreSession session;
  OpenKey key;
  LONG error = ERROR_SUCCESS;
};

KeyAccess openedKey(HKEY handle, ACCESS_MASK needed) {
  KeyAccess access{openSession(), {}};
  access.error = access.session.error;
  if (access.error == ERROR_SUCCESS) access.error = resolveHandle(access.session.store, access.session.db, handle, access.key);
  if (access.error == ERROR_SUCCESS && (access.key.granted & needed) != needed)
    access.error = static_cast<LONG>(ERROR_ACCESS_DENIED);
  return access;
}

HKEY newHandle(Store& s, OpenKey key) {
  const std::uintptr_t value = s.nextHandle;
  s.nextHandle += 4;
  s.handles[value] = key;
  return reinterpret_cast<HKEY>(value);
}

std::optional<KeyId> walk(sqlite3* db, KeyId from, const std::vector<std::string>& parts) {
  KeyId id = from;
  for (const std::string& part : parts) {
    const auto next = childId(db, id, part);
    if (!next) return std::nullopt;
    id = *next;
  }
  return id;
}

// The root and the key of a full path such as "HKEY_LOCAL_MACHINE\SOFTWARE".
struct FullPath {
  std::optional<KeyId> root;
  std::vector<std::string> parts;
};

FullPath parseFullPath(sqlite3* db, std::string_view path) {
  std::vector<std::string> parts = splitPath(path);
  if (parts.empty()) return {};
  std::string head = folded(parts.front());
  if (head == "hklm") head = "hkey_local_machine";
  if (head == "hkcu") head = "hkey_current_user";
  if (head == "hkcr") head = "hkey_classes_root";
  if (head == "hku") head = "hkey_users";
  const auto root = rootId(db, head);
  parts.erase(parts.begin());
  return {root, std::move(parts)};
}

// Creates the missing keys along `parts` below `from`; each new key gets no
// security of its own unless `security` is given for the last one.
std::optional<KeyId> createPath(sqlite3* db, KeyId from, const std::vector<std::string>& parts,
                                const std::vector<std::uint8_t>* security, bool& created) {
  KeyId id = from;
  created = false;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (const auto next = childId(db, id, parts[i])) {
      id = *next;
      created = false;
      continue;
    }
    Statement insert(db, "INSERT INTO keys(parent, name, folded, security) VALUES (?, ?, ?, ?)");
    insert.bind(1, id).bind(2, parts[i]).bind(3, folded(parts[i]));
    if (security && i + 1 == parts.size()) insert.bindBlob(4, *security); else insert.bindNull(4);
    if (!insert.run()) return std::nullopt;
    id = sqlite3_last_insert_rowid(db);
    created = true;
  }
  return id;
}

bool deleteTree(sqlite3* db, KeyId id) {
  constexpr const char* subtree =
      "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) ";
  Statement values(db, (std::string(subtree) + "DELETE FROM keyvalues WHERE key IN sub").c_str());
  Statement keys(db, (std::string(subtree) + "DELETE FROM keys WHERE id IN sub").c_str());
  return values.bind(1, id).run() && keys.bind(1, id).run();
}

bool setValue(sqlite3* db, KeyId id, const RegistryValue& value) {
  Statement upsert(db,
                   "INSERT INTO keyvalues(key, name, folded, type, data) VALUES (?, ?, ?, ?, ?) "
                   "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
  upsert.bind(1, id).bind(2, value.name).bind(3, folded(value.name)).bind(4, value.type).bindBlob(5, value.data);
  return upsert.run();
}

// Removes a value; false when there was none.
bool deleteValue(sqlite3* db, KeyId id, std::string_view name, bool& ok) {
  Statement del(db, "DELETE FROM keyvalues WHERE key = ? AND folded = ?");
  ok = del.bind(1, id).bind(2, folded(name)).run();
  return sqlite3_changes(db) > 0;
}

std::string keyName(sqlite3* db, KeyId id) {
  Statement q(db, "SELECT name FROM keys WHERE id = ?");
  q.bind(1, id);
  return q.row() ? q.text(0) : std::string{};
}

void dumpKey(sqlite3* db, KeyId id, const std::string& path, std::vector<RegistryKeyDump>& out) {
  RegistryKeyDump dump{path, {}};
  Statement values(db, "SELECT name, type, data FROM keyvalues WHERE key = ? ORDER BY seq");
  values.bind(1, id);
  while (values.row()) dump.values.push_back({values.text(0), static_cast<DWORD>(values.integer(1)), values.blob(2)});
  out.push_back(std::move(dump));
  std::vector<std::pair<KeyId, std::string>> children;
  Statement q(db, "SELECT id, name FROM keys WHERE parent = ? ORDER BY folded");
  q.bind(1, id);
  while (q.row()) children.emplace_back(q.integer(0), q.text(1));
  for (const auto& [child, name] : children) dumpKey(db, child, path + "\\" + name, out);
}

}  // namespace

void setRegistryIdentity(std::optional<RegistryIdentity> identity) {
  Store& s = store();
  std::lock_guard guard(s.lock);
  s.identityOverride = identity;
}

void useRegistryDatabase(const std::string& path) {
  Store& s = store();
  std::lock_guard guard(s.lock);
  if (s.db) sqlite3_close(s.db);
  s.db = nullptr;
  s.handles.clear();
  s.pathOverride = path;
}

std::string registryDatabasePath() {
  Store& s = store();
  std::lock_guard guard(s.lock);
  return s.pathOverride.empty() ? defaultPath() : s.pathOverride;
}

LONG applyRegistryChanges(std::span<const RegistryChange> changes) {
  const StoreSession session = openSession();
  if (session.error) return session.error;
  sqlite3* db = session.db;
  Transaction transaction(db);
  if (!transaction.begun()) return static_cast<LONG>(ERROR_CANTWRITE);
  for (const RegistryChange& change : changes) {
    const FullPath path = parseFullPath(db, change.path);
    if (!path.root) return static_cast<LONG>(ERROR_BADKEY);
    bool created = false;
    switch (change.kind) {
      case RegistryChange::Kind::CreateKey:
      case RegistryChange::Kind::SetValue:
      case RegistryChange::Kind::DeleteValue: {
        const auto id = createPath(db, *path.root, path.parts, nullptr, created);
        if (!id) return static_cast<LONG>(ERROR_CANTWRITE);
        bool ok = true;
        if (change.kind == RegistryChange::Kind::SetValue) ok = setValue(db, *id, change.value);
        if (change.kind == RegistryChange::Kind::DeleteValue) deleteValue(db, *id, change.value.name, ok);
        if (!ok) return static_cast<LONG>(ERROR_CANTWRITE);
        break;
      }
      case RegistryChange::Kind::DeleteTree: {
        if (path.parts.empty()) return static_cast<LONG>(ERROR_ACCESS_DENIED);  // roots stay
        const auto id = walk(db, *path.root, path.parts);
        if (id && !deleteTree(db, *id)) return static_cast<LONG>(ERROR_CANTWRITE);
        break;
      }
    }
  }
  return transaction.commit() ? ERROR_SUCCESS : static_cast<LONG>(ERROR_CANTWRITE);
}

std::optional<std::vector<RegistryKeyDump>> dumpRegistry(std::string_view path) {
  const StoreSession session = openSession();
  if (session.error) return std::nullopt;
  sqlite3* db = session.db;
  std::vector<RegistryKeyDump> out;
  if (splitPath(path).empty()) {
    for (std::string_view root : kRootNames) dumpKey(db, *rootId(db, root), std::string(root), out);
    return out;
  }
  const FullPath full = parseFullPath(db, path);
  if (!full.root) return std::nullopt;
  const auto id = walk(db, *full.root, full.parts);
  if (!id) return std::nullopt;
  // Rebuild the path with the stored case of every part.
  std::string stored = keyName(db, *full.root);
  KeyId at = *full.root;
  for (const std::string& part : full.parts) {
    at = *childId(db, at, part);
    stored += "\\" + keyName(db, at);
  }
  dumpKey(db, *id, stored, out);
  return out;
}

std::optional<std::vector<std::uint8_t>> keySecurity(std::string_view path) {
  const StoreSession session = openSession();
  if (session.error) return std::nullopt;
  sqlite3* db = session.db;
  const FullPath full = parseFullPath(db, path);
  if (!full.root) return std::nullopt;
  const auto id = walk(db, *full.root, full.parts);
  if (!id) return std::nullopt;
  const auto row = keyRow(db, *id);
  return row && row->hasSecurity ? row->security : std::vector<std::uint8_t>{};
}

}  // namespace keld::win32

using namespace keld::win32;

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  if (!result) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  KeyAccess parent = openedKey(key, 0);
  if (parent.error) return parent.error;
  sqlite3* db = parent.session.db;
  const auto id = walk(db, parent.key.id, splitPath(subKey ? subKey : ""));
  if (!id) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  OpenKey opened{*id, 0};
  if (const LONG rc = checkAccess(db, *id, desired, currentIdentity(parent.session.store), opened.granted)) return rc;
  *result = newHandle(parent.session.store, opened);
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM desired,
                     const SECURITY_ATTRIBUTES* security, PHKEY result, LPDWORD disposition) {
  if (!result || !subKey) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  KeyAccess parent = openedKey(key, 0);
  if (parent.error) return parent.error;
  Store& s = parent.session.store;
  sqlite3* db = parent.session.db;
  const std::vector<std::string> parts = splitPath(subKey);
  const RegistryIdentity identity = currentIdentity(s);
  if (const auto existing = walk(db, parent.key.id, parts)) {
    OpenKey opened{*existing, 0};
    if (const LONG rc = checkAccess(db, *existing, desired, identity, opened.granted)) return rc;
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    *result = newHandle(s, opened);
    return ERROR_SUCCESS;
  }
  // A new key needs the right to create subkeys in the deepest key that exists.
  KeyId deepest = parent.key.id;
  for (const std::string& part : parts) {
    const auto next = childId(db, deepest, part);
    if (!next) break;
    deepest = *next;
  }
  ACCESS_MASK ignored = 0;
  if (deepest == parent.key.id ? !(parent.key.granted & KEY_CREATE_SUB_KEY)
                               : checkAccess(db, deepest, KEY_CREATE_SUB_KEY, identity, ignored) != ERROR_SUCCESS)
    return static_cast<LONG>(ERROR_ACCESS_DENIED);
  std::vector<std::uint8_t> explicitSecurity;
  if (security && security->lpSecurityDescriptor) {
    explicitSecurity = selfRelativeDescriptor(security->lpSecurityDescriptor);
    if (explicitSecurity.empty()) return static_cast<LONG>(ERROR_INVALID_SECURITY_DESCR);
  }
  Transaction transaction(db);
  if (!transaction.begun()) return static_cast<LONG>(ERROR_CANTWRITE);
  bool created = false;
  const auto id = createPath(db, parent.key.id, parts, explicitSecurity.empty() ? nullptr : &explicitSecurity, created);
  if (!id || !transaction.commit()) return static_cast<LONG>(ERROR_CANTWRITE);
  // The creator gets the access it asked for on the key it made.
  if (disposition) *disposition = REG_CREATED_NEW_KEY;
  *result = newHandle(s, OpenKey{*id, mapGeneric(desired)});
  return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPSTR, LPDWORD, FILETIME* lastWriteTime) {
  if (!name || !nameSize) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  const KeyAccess open = openedKey(key, KEY_ENUMERATE_SUB_KEYS);
  if (open.error) return open.error;
  Statement q(open.session.db, "SELECT name FROM keys WHERE parent = ? ORDER BY folded LIMIT 1 OFFSET ?");
  q.bind(1, open.key.id).bind(2, static_cast<std::int64_t>(index));
  if (!q.row()) return static_cast<LONG>(q.failed() ? ERROR_BADDB : ERROR_NO_MORE_ITEMS);
  const std::string found = q.text(0);
  if (found.size() + 1 > *nameSize) return static_cast<LONG>(ERROR_MORE_DATA);
  std::memcpy(name, found.c_str(), found.size() + 1);
  *nameSize = static_cast<DWORD>(found.size());
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  if (data && !dataSize) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  const KeyAccess open = openedKey(key, KEY_QUERY_VALUE);
  if (open.error) return open.error;
  Statement q(open.session.db, "SELECT type, data FROM keyvalues WHERE key = ? AND folded = ?");
  q.bind(1, open.key.id).bind(2, folded(valueName ? valueName : ""));
  if (!q.row()) return static_cast<LONG>(q.failed() ? ERROR_BADDB : ERROR_FILE_NOT_FOUND);
  const std::vector<std::uint8_t> stored = q.blob(1);
  if (type) *type = static_cast<DWORD>(q.integer(0));
  if (!dataSize) return ERROR_SUCCESS;
  const DWORD capacity = *dataSize;
  *dataSize = static_cast<DWORD>(stored.size());
  if (!data) return ERROR_SUCCESS;
  if (stored.size() > capacity) return static_cast<LONG>(ERROR_MORE_DATA);
  std::copy(stored.begin(), stored.end(), data);
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize) {
  if (!data && dataSize != 0) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  const KeyAccess open = openedKey(key, KEY_SET_VALUE);
  if (open.error) return open.error;
  RegistryValue value{valueName ? valueName : "", type, {}};
  if (data) value.data.assign(data, data + dataSize);
  return setValue(open.session.db, open.key.id, value) ? ERROR_SUCCESS : static_cast<LONG>(ERROR_CANTWRITE);
}

LONG RegDeleteValueA(HKEY key, LPCSTR valueName) {
  const KeyAccess open = openedKey(key, KEY_SET_VALUE);
  if (open.error) return open.error;
  bool ok = true;
  const bool removed = deleteValue(open.session.db, open.key.id, valueName ? valueName : "", ok);
  if (!ok) return static_cast<LONG>(ERROR_CANTWRITE);
  return removed ? ERROR_SUCCESS : static_cast<LONG>(ERROR_FILE_NOT_FOUND);
}

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  if (!subKey || splitPath(subKey).empty()) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  const KeyAccess parent = openedKey(key, 0);
  if (parent.error) return parent.error;
  sqlite3* db = parent.session.db;
  const auto id = walk(db, parent.key.id, splitPath(subKey));
  if (!id) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  ACCESS_MASK granted = 0;
  if (const LONG rc = checkAccess(db, *id, DELETE, currentIdentity(parent.session.store), granted)) return rc;
  Statement children(db, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
  children.bind(1, *id);
  if (children.row()) return static_cast<LONG>(ERROR_ACCESS_DENIED);
  Transaction transaction(db);
  if (!transaction.begun() || !deleteTree(db, *id) || !transaction.commit()) return static_cast<LONG>(ERROR_CANTWRITE);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  if (value >= 0x80000000u && value <= 0x80000003u) return ERROR_SUCCESS;
  Store& s = store();
  std::lock_guard guard(s.lock);
  return s.handles.erase(value) ? ERROR_SUCCESS : static_cast<LONG>(ERROR_INVALID_HANDLE);
}

LONG RegSetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) {
  if (information != DACL_SECURITY_INFORMATION) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  const std::vector<std::uint8_t> selfRelative = selfRelativeDescriptor(descriptor);
  if (selfRelative.empty()) return static_cast<LONG>(ERROR_INVALID_SECURITY_DESCR);
  const KeyAccess open = openedKey(key, WRITE_DAC);
  if (open.error) return open.error;
  Statement update(open.session.db, "UPDATE keys SET security = ? WHERE id = ?");
  update.bindBlob(1, selfRelative).bind(2, open.key.id);
  return update.run() ? ERROR_SUCCESS : static_cast<LONG>(ERROR_CANTWRITE);
}
