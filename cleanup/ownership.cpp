// Who the launcher's directories belong to: the security descriptor that a launch makes them with,
// for the level it runs at, and the test whether an existing directory is one of the launcher's
// own.
//
// A launch at the user's level gives full access to the user (and its AppContainer) and to the
// local system account, as the user's temporary folder does: services that work for the user's
// programs (the Windows Installer reading an unpacked package, for one) run as the system, and
// the system account is above any DACL for what matters here anyway (it can take ownership).
//
// An elevated launch must leave nothing that the same user's programs at medium integrity could
// change: they carry the same user SID, and a library or program of the application that they
// replaced would run elevated. Its directories grant full access to Administrators and the local
// system account; the user gets read and execute (its unelevated processes may still read the
// application's files), and so do the owner's implicit rights through an "OWNER RIGHTS" entry, so
// that owning the directory gives no right to change its DACL (Windows Vista and later). A high
// mandatory label with no-write-up, inherited by everything below, keeps every process below high
// integrity from writing, deleting or relabelling anything there, whatever the DACL says. A token
// at a high or system level without Administrators (a service account) gets full access itself
// instead. Under Wine, Administrators is an enabled group of every token, and Wine gives an entry
// for an enabled group of the owner the owner's mode bits: the directory works for root and for an
// unprivileged Linux user alike (mode 770).
//
// Both levels name the user as owner: an elevated administrator's new objects would otherwise
// belong to Administrators, which no later launch could tell from anyone else's.
//
// The system's own calls, from ntdll.dll, which every process has loaded: advapi32.dll, whose
// functions wrap them, would load advapi32, sechost and ucrtbase into the parent first (a few
// milliseconds under Wine, in the start of a kept launch), and a child that imported it would load
// them on every start.
#include <cstring>
#include <cwchar>

#include <windows.h>

#include "cleanup/cleanup.h"
#include "launcher/made_once.h"

namespace {

using nt_status = LONG;
struct security_functions {
  nt_status(NTAPI* NtOpenProcessToken)(HANDLE, ACCESS_MASK, HANDLE*) = nullptr;
  nt_status(NTAPI* NtQueryInformationToken)(HANDLE, TOKEN_INFORMATION_CLASS, void*, ULONG,
                                            ULONG*) = nullptr;
  nt_status(NTAPI* RtlCreateAcl)(ACL*, ULONG, ULONG) = nullptr;
  nt_status(NTAPI* RtlAddAccessAllowedAceEx)(ACL*, ULONG, ULONG, ACCESS_MASK, PSID) = nullptr;
  nt_status(NTAPI* RtlAddAce)(ACL*, ULONG, ULONG, void*, ULONG) = nullptr;
  nt_status(NTAPI* RtlCreateSecurityDescriptor)(PSECURITY_DESCRIPTOR, ULONG) = nullptr;
  nt_status(NTAPI* RtlSetOwnerSecurityDescriptor)(PSECURITY_DESCRIPTOR, PSID, BOOLEAN) = nullptr;
  nt_status(NTAPI* RtlSetDaclSecurityDescriptor)(PSECURITY_DESCRIPTOR, BOOLEAN, ACL*,
                                                 BOOLEAN) = nullptr;
  nt_status(NTAPI* RtlSetSaclSecurityDescriptor)(PSECURITY_DESCRIPTOR, BOOLEAN, ACL*,
                                                 BOOLEAN) = nullptr;
  nt_status(NTAPI* RtlSetControlSecurityDescriptor)(PSECURITY_DESCRIPTOR,
                                                    SECURITY_DESCRIPTOR_CONTROL,
                                                    SECURITY_DESCRIPTOR_CONTROL) = nullptr;
  nt_status(NTAPI* NtQuerySecurityObject)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, ULONG,
                                          ULONG*) = nullptr;
  nt_status(NTAPI* RtlGetOwnerSecurityDescriptor)(PSECURITY_DESCRIPTOR, PSID*, BOOLEAN*) = nullptr;
  nt_status(NTAPI* RtlGetDaclSecurityDescriptor)(PSECURITY_DESCRIPTOR, BOOLEAN*, ACL**,
                                                 BOOLEAN*) = nullptr;
  nt_status(NTAPI* RtlGetSaclSecurityDescriptor)(PSECURITY_DESCRIPTOR, BOOLEAN*, ACL**,
                                                 BOOLEAN*) = nullptr;
  nt_status(NTAPI* RtlGetAce)(ACL*, ULONG, void**) = nullptr;
  BOOLEAN(NTAPI* RtlEqualSid)(PSID, PSID) = nullptr;
};

// Looked up once, by whichever thread comes first; all or none.
void find_security_functions(security_functions& found) {
  const bool all =
      find_ntdll_function(found.NtOpenProcessToken, "NtOpenProcessToken") &&
      find_ntdll_function(found.NtQueryInformationToken, "NtQueryInformationToken") &&
      find_ntdll_function(found.RtlCreateAcl, "RtlCreateAcl") &&
      find_ntdll_function(found.RtlAddAccessAllowedAceEx, "RtlAddAccessAllowedAceEx") &&
      find_ntdll_function(found.RtlAddAce, "RtlAddAce") &&
      find_ntdll_function(found.RtlCreateSecurityDescriptor, "RtlCreateSecurityDescriptor") &&
      find_ntdll_function(found.RtlSetOwnerSecurityDescriptor, "RtlSetOwnerSecurityDescriptor") &&
      find_ntdll_function(found.RtlSetDaclSecurityDescriptor, "RtlSetDaclSecurityDescriptor") &&
      find_ntdll_function(found.RtlSetSaclSecurityDescriptor, "RtlSetSaclSecurityDescriptor") &&
      find_ntdll_function(found.RtlSetControlSecurityDescriptor,
                          "RtlSetControlSecurityDescriptor") &&
      find_ntdll_function(found.NtQuerySecurityObject, "NtQuerySecurityObject") &&
      find_ntdll_function(found.RtlGetOwnerSecurityDescriptor, "RtlGetOwnerSecurityDescriptor") &&
      find_ntdll_function(found.RtlGetDaclSecurityDescriptor, "RtlGetDaclSecurityDescriptor") &&
      find_ntdll_function(found.RtlGetSaclSecurityDescriptor, "RtlGetSaclSecurityDescriptor") &&
      find_ntdll_function(found.RtlGetAce, "RtlGetAce") &&
      find_ntdll_function(found.RtlEqualSid, "RtlEqualSid");
  if (!all) found.RtlEqualSid = nullptr;
}

const security_functions& nt() {
  return made_once<security_functions, find_security_functions>();
}

// A well-known SID of one or two sub-authorities, laid out as the system lays out any SID.
template <int count>
struct known_sid {
  BYTE revision;
  BYTE sub_authority_count;
  BYTE authority[6];
  DWORD sub_authorities[count];
  PSID sid() const { return const_cast<known_sid*>(this); }
};
constexpr known_sid<1> local_system{
    SID_REVISION, 1, {0, 0, 0, 0, 0, 5}, {SECURITY_LOCAL_SYSTEM_RID}};
constexpr known_sid<2> administrators{
    SID_REVISION, 2, {0, 0, 0, 0, 0, 5}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};
constexpr known_sid<1> owner_rights{
    SID_REVISION, 1, {0, 0, 0, 0, 0, 3}, {SECURITY_CREATOR_OWNER_RIGHTS_RID}};
constexpr known_sid<1> high_label{
    SID_REVISION, 1, {0, 0, 0, 0, 0, 16}, {SECURITY_MANDATORY_HIGH_RID}};

bool equal_sid(PSID one, PSID other) {
  return nt().RtlEqualSid(one, other) != FALSE;
}

// A SID as the token gives it; SECURITY_MAX_SID_SIZE bytes hold any SID.
struct token_sid {
  alignas(8) unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
  PSID sid = nullptr;
};

// What the token says, read once: its user; its integrity level; its AppContainer SID when it
// runs in one; and, at a high level, whether Administrators is one of its enabled groups.
struct token_identity {
  token_sid user, app_container;
  DWORD integrity = 0;
  bool administrator = false;
};

bool token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* bytes, ULONG size) {
  ULONG returned = 0;
  return nt().NtQueryInformationToken(token, kind, bytes, size, &returned) >= 0;
}

// In place: the SIDs point into the identity's own bytes.
void read_token_identity(token_identity& found) {
  HANDLE token;
  if (nt().RtlEqualSid == nullptr ||
      nt().NtOpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) < 0) {
    return;
  }
  alignas(8) unsigned char bytes[8192];
  if (token_information(token, TokenIntegrityLevel, bytes, sizeof bytes)) {
    const auto* label =
        static_cast<SID*>(reinterpret_cast<TOKEN_MANDATORY_LABEL*>(bytes)->Label.Sid);
    if (label->SubAuthorityCount > 0) {
      found.integrity = label->SubAuthority[label->SubAuthorityCount - 1];
    }
  }
  if (found.integrity >= SECURITY_MANDATORY_HIGH_RID &&
      token_information(token, TokenGroups, bytes, sizeof bytes)) {
    const auto* groups = reinterpret_cast<TOKEN_GROUPS*>(bytes);
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
      if ((groups->Groups[i].Attributes & SE_GROUP_ENABLED) &&
          equal_sid(groups->Groups[i].Sid, administrators.sid())) {
        found.administrator = true;
      }
    }
  }
  // Systems before Windows 8 know neither query; a process there runs in no AppContainer, and
  // neither does one at a high level.
  DWORD in_app_container = 0;
  if (found.integrity < SECURITY_MANDATORY_HIGH_RID &&
      token_information(token, TokenIsAppContainer, &in_app_container, sizeof in_app_container) &&
      in_app_container != 0 &&
      token_information(token, TokenAppContainerSid, found.app_container.bytes,
                        sizeof found.app_container.bytes)) {
    found.app_container.sid =
        reinterpret_cast<TOKEN_APPCONTAINER_INFORMATION*>(found.app_container.bytes)
            ->TokenAppContainer;
  }
  if (token_information(token, TokenUser, found.user.bytes, sizeof found.user.bytes)) {
    found.user.sid = reinterpret_cast<TOKEN_USER*>(found.user.bytes)->User.Sid;
  }
  CloseHandle(token);
}

// Read once, by whichever thread comes first.
const token_identity& identity() {
  return made_once<token_identity, read_token_identity>();
}

launch_level level_from_token() {
  return identity().integrity >= SECURITY_MANDATORY_HIGH_RID ? launch_level::elevated
                                                             : launch_level::user;
}

void find_labels_kept(bool& kept) {
  kept = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr;
}

bool unless_under_wine() {
  return made_once<bool, find_labels_kept>();
}

// The descriptors that this process makes, built afresh for each call (memory only).
constexpr std::size_t ace_room = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE;
constexpr ACCESS_MASK read_and_execute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
constexpr ULONG inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
alignas(8) unsigned char directory_dacl[sizeof(ACL) + 4 * ace_room];
alignas(8) unsigned char directory_sacl[sizeof(ACL) + ace_room];
SECURITY_DESCRIPTOR directory_descriptor;
SECURITY_DESCRIPTOR owner_descriptor;

bool allow(ACCESS_MASK access, PSID sid) {
  return nt().RtlAddAccessAllowedAceEx(reinterpret_cast<ACL*>(directory_dacl), ACL_REVISION,
                                       inherited, access, sid) >= 0;
}

// The SACL of an elevated launch's directory: its high label with no-write-up, inherited.
bool add_high_label() {
  auto* sacl = reinterpret_cast<ACL*>(directory_sacl);
  struct {
    ACE_HEADER header;
    ACCESS_MASK mask;
    known_sid<1> label;
  } ace{{SYSTEM_MANDATORY_LABEL_ACE_TYPE, static_cast<BYTE>(inherited), sizeof ace},
        SYSTEM_MANDATORY_LABEL_NO_WRITE_UP,
        high_label};
  return nt().RtlCreateAcl(sacl, sizeof directory_sacl, ACL_REVISION) >= 0 &&
         nt().RtlAddAce(sacl, ACL_REVISION, MAXDWORD, &ace, sizeof ace) >= 0 &&
         nt().RtlSetSaclSecurityDescriptor(&directory_descriptor, TRUE, sacl, FALSE) >= 0;
}

// A high or system label with no-write-up on the object itself.
bool has_high_label(PSECURITY_DESCRIPTOR descriptor) {
  BOOLEAN present = FALSE;
  BOOLEAN defaulted = FALSE;
  ACL* sacl = nullptr;
  if (nt().RtlGetSaclSecurityDescriptor(descriptor, &present, &sacl, &defaulted) < 0 || !present ||
      sacl == nullptr) {
    return false;
  }
  for (DWORD i = 0; i < sacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (nt().RtlGetAce(sacl, i, reinterpret_cast<void**>(&header)) < 0) return false;
    if (header->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
      continue;
    const auto* ace = reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE*>(header);
    const auto* label = reinterpret_cast<const SID*>(&ace->SidStart);
    const SID_IDENTIFIER_AUTHORITY mandatory = SECURITY_MANDATORY_LABEL_AUTHORITY;
    return (ace->Mask & SYSTEM_MANDATORY_LABEL_NO_WRITE_UP) && label->SubAuthorityCount == 1 &&
           std::memcmp(&label->IdentifierAuthority, &mandatory, sizeof mandatory) == 0 &&
           label->SubAuthority[0] >= SECURITY_MANDATORY_HIGH_RID;
  }
  return false;
}

// A descriptor as far as asked for, in room for any that a file has.
struct object_security {
  alignas(8) unsigned char bytes[8192];
};

bool query_security(HANDLE handle, SECURITY_INFORMATION what, object_security& found) {
  ULONG needed = 0;
  return nt().NtQuerySecurityObject(handle, what, found.bytes, sizeof found.bytes, &needed) >= 0;
}

bool owned_by_user(PSECURITY_DESCRIPTOR descriptor) {
  PSID owner = nullptr;
  BOOLEAN defaulted = FALSE;
  return nt().RtlGetOwnerSecurityDescriptor(descriptor, &owner, &defaulted) >= 0 &&
         owner != nullptr && equal_sid(owner, identity().user.sid);
}

// The mark in the open directory: a plain file owned by the user (unless owners can't be told)
// that holds one of the texts the launcher writes.
bool holds_mark(HANDLE directory, bool check_owner) {
  DWORD error = ERROR_SUCCESS;
  HANDLE mark = open_in_directory(
      directory, target_mark_name, FILE_READ_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false, 0, nullptr, &error);
  if (mark == INVALID_HANDLE_VALUE) return false;
  FILE_BASIC_INFO information;
  object_security found;
  char text[sizeof kept_mark_text + 1];
  DWORD count = 0;
  const bool own =
      GetFileInformationByHandleEx(mark, FileBasicInfo, &information, sizeof information) &&
      !(information.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
      (!check_owner ||
       (query_security(mark, OWNER_SECURITY_INFORMATION, found) && owned_by_user(found.bytes))) &&
      ReadFile(mark, text, sizeof text, &count, nullptr);
  CloseHandle(mark);
  const auto is_text = [&](const char* expected, std::size_t size) {
    return count == size - 1 && std::memcmp(text, expected, count) == 0;
  };
  return own && (is_text(target_mark_text, sizeof target_mark_text) ||
                 is_text(kept_mark_text, sizeof kept_mark_text));
}

bool is_plain_directory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

launch_level (*token_level)() = level_from_token;
bool (*file_labels_kept)() = unless_under_wine;

bool launch_directory_security(SECURITY_ATTRIBUTES* attributes) {
  const token_identity& token = identity();
  // The kernel's calls set no last error; the caller reports this one.
  SetLastError(ERROR_INVALID_SECURITY_DESCR);
  if (token.user.sid == nullptr) return false;
  auto* dacl = reinterpret_cast<ACL*>(directory_dacl);
  bool built =
      nt().RtlCreateSecurityDescriptor(&directory_descriptor, SECURITY_DESCRIPTOR_REVISION) >= 0 &&
      nt().RtlSetOwnerSecurityDescriptor(&directory_descriptor, token.user.sid, FALSE) >= 0 &&
      nt().RtlCreateAcl(dacl, sizeof directory_dacl, ACL_REVISION) >= 0;
  if (token_level() == launch_level::elevated) {
    built = built && allow(FILE_ALL_ACCESS, local_system.sid()) &&
            allow(FILE_ALL_ACCESS, administrators.sid()) &&
            allow(token.administrator ? read_and_execute : FILE_ALL_ACCESS, token.user.sid) &&
            allow(read_and_execute, owner_rights.sid()) && add_high_label();
  } else {
    built = built && allow(FILE_ALL_ACCESS, local_system.sid()) &&
            allow(FILE_ALL_ACCESS, token.user.sid) &&
            (token.app_container.sid == nullptr || allow(FILE_ALL_ACCESS, token.app_container.sid));
  }
  // Protected: nothing is inherited from the folder above. Never an empty DACL, which would grant
  // nobody anything (and leaves an unusable directory under Wine).
  built = built &&
          nt().RtlSetDaclSecurityDescriptor(&directory_descriptor, TRUE, dacl, FALSE) >= 0 &&
          nt().RtlSetControlSecurityDescriptor(&directory_descriptor, SE_DACL_PROTECTED,
                                               SE_DACL_PROTECTED) >= 0;
  *attributes = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), &directory_descriptor, FALSE};
  return built;
}

bool user_owner_security(SECURITY_ATTRIBUTES* attributes) {
  const token_identity& token = identity();
  SetLastError(ERROR_INVALID_SECURITY_DESCR);
  if (token.user.sid == nullptr ||
      nt().RtlCreateSecurityDescriptor(&owner_descriptor, SECURITY_DESCRIPTOR_REVISION) < 0 ||
      nt().RtlSetOwnerSecurityDescriptor(&owner_descriptor, token.user.sid, FALSE) < 0) {
    return false;
  }
  *attributes = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), &owner_descriptor, FALSE};
  return true;
}

bool is_own_descriptor(void* descriptor, launch_level level) {
  const token_identity& token = identity();
  if (token.user.sid == nullptr || !owned_by_user(descriptor)) return false;
  ACL* dacl = nullptr;
  BOOLEAN present = FALSE;
  BOOLEAN defaulted = FALSE;
  // No DACL at all grants everyone everything. Denials take nothing from the user that matters
  // here; an allowance to anyone else, or of a kind not known here, is not the launcher's own, and
  // neither is a DACL that grants the user nothing. The local system account and Administrators
  // are above any directory's DACL anyway: launches at either level grant the former, elevated
  // ones the latter (and Wine adds the system account when it reads any DACL back).
  if (nt().RtlGetDaclSecurityDescriptor(descriptor, &present, &dacl, &defaulted) < 0 || !present ||
      dacl == nullptr) {
    return false;
  }
  bool user_granted = false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (nt().RtlGetAce(dacl, i, reinterpret_cast<void**>(&header)) < 0) return false;
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart;
    if (equal_sid(sid, token.user.sid)) {
      user_granted = true;
    } else if (!(token.app_container.sid != nullptr && equal_sid(sid, token.app_container.sid)) &&
               !equal_sid(sid, local_system.sid()) && !equal_sid(sid, administrators.sid()) &&
               !equal_sid(sid, owner_rights.sid())) {
      return false;
    }
  }
  if (!user_granted) return false;
  // What a medium process can't forge: the label. Without it, a directory that the user's
  // unelevated programs made, or can write, would pass for an elevated launch's own.
  return level == launch_level::user || !file_labels_kept() || has_high_label(descriptor);
}

bool is_own_object(void* handle, launch_level level) {
  SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  if (level == launch_level::elevated && file_labels_kept()) what |= LABEL_SECURITY_INFORMATION;
  object_security found;
  return nt().RtlEqualSid != nullptr && query_security(handle, what, found) &&
         is_own_descriptor(found.bytes, level);
}

void* make_mark(void* directory, bool kept, DWORD* error) {
  SECURITY_ATTRIBUTES owner;
  if (!user_owner_security(&owner)) {
    *error = ERROR_INVALID_SECURITY_DESCR;
    return INVALID_HANDLE_VALUE;
  }
  HANDLE mark = open_in_directory(directory, target_mark_name, GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ, true, FILE_ATTRIBUTE_HIDDEN, &owner, error);
  if (mark == INVALID_HANDLE_VALUE) return mark;
  DWORD written = 0;
  if (kept) {
    WriteFile(mark, kept_mark_text, sizeof kept_mark_text - 1, &written, nullptr);
  } else {
    WriteFile(mark, target_mark_text, sizeof target_mark_text - 1, &written, nullptr);
  }
  return mark;
}

bool holds_own_mark(void* directory) {
  return nt().RtlEqualSid != nullptr && holds_mark(directory, true);
}

bool is_launcher_directory(const wchar_t* path, void* directory, launch_level level) {
  // Wine answers for a link's target even on a handle opened on the link; the name's own
  // attributes show the link.
  // The basic information only: the Win32 call for all of it asks for the volume's serial number
  // too, a round trip to Wine's mount manager.
  FILE_BASIC_INFO information;
  if (!GetFileInformationByHandleEx(directory, FileBasicInfo, &information, sizeof information) ||
      !is_plain_directory(information.FileAttributes) ||
      !is_plain_directory(GetFileAttributesW(path))) {
    return false;
  }
  if (is_own_object(directory, level)) return holds_own_mark(directory);
  // Where the volume keeps no owners and no DACLs, inside the user's own folders (which the
  // launcher unpacks into there, see target_directory.cpp), the mark's content alone tells.
  return !volume_keeps_acls(directory) && is_in_own_folders(path) && holds_mark(directory, false);
}
