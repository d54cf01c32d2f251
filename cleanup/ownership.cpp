// Who the target directory belongs to: the owner-only security descriptor it is created with, and
// the test whether an existing directory is owned by this process's user.
#include <cstddef>
#include <type_traits>

#include <windows.h>

#include "cleanup/cleanup.h"

namespace {

// The system's own calls, from ntdll.dll, which every process has loaded: advapi32.dll, whose
// functions wrap them, would load advapi32, sechost and ucrtbase into the parent first (a few
// milliseconds under Wine, in the start of a kept launch), and a child that imported it would
// load them on every start.
using nt_status = LONG;
struct security_functions {
  nt_status(NTAPI* NtOpenProcessToken)(HANDLE, ACCESS_MASK, HANDLE*) = nullptr;
  nt_status(NTAPI* NtQueryInformationToken)(HANDLE, TOKEN_INFORMATION_CLASS, void*, ULONG,
                                            ULONG*) = nullptr;
  nt_status(NTAPI* RtlCreateAcl)(ACL*, ULONG, ULONG) = nullptr;
  nt_status(NTAPI* RtlAddAccessAllowedAceEx)(ACL*, ULONG, ULONG, ACCESS_MASK, PSID) = nullptr;
  nt_status(NTAPI* RtlCreateSecurityDescriptor)(PSECURITY_DESCRIPTOR, ULONG) = nullptr;
  nt_status(NTAPI* RtlSetDaclSecurityDescriptor)(PSECURITY_DESCRIPTOR, BOOLEAN, ACL*,
                                                 BOOLEAN) = nullptr;
  nt_status(NTAPI* RtlSetControlSecurityDescriptor)(PSECURITY_DESCRIPTOR,
                                                    SECURITY_DESCRIPTOR_CONTROL,
                                                    SECURITY_DESCRIPTOR_CONTROL) = nullptr;
  nt_status(NTAPI* NtQuerySecurityObject)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, ULONG,
                                          ULONG*) = nullptr;
  nt_status(NTAPI* RtlGetOwnerSecurityDescriptor)(PSECURITY_DESCRIPTOR, PSID*, BOOLEAN*) = nullptr;
  nt_status(NTAPI* RtlGetDaclSecurityDescriptor)(PSECURITY_DESCRIPTOR, BOOLEAN*, ACL**,
                                                 BOOLEAN*) = nullptr;
  nt_status(NTAPI* RtlGetAce)(ACL*, ULONG, void**) = nullptr;
  BOOLEAN(NTAPI* RtlEqualSid)(PSID, PSID) = nullptr;
};

security_functions security;

bool load_security_functions() {
  static bool loaded = false;
  if (loaded) return security.RtlEqualSid != nullptr;
  loaded = true;
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return false;
  const auto find = [&](auto& function, const char* name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
    return function != nullptr;
  };
  const bool all =
      find(security.NtOpenProcessToken, "NtOpenProcessToken") &&
      find(security.NtQueryInformationToken, "NtQueryInformationToken") &&
      find(security.RtlCreateAcl, "RtlCreateAcl") &&
      find(security.RtlAddAccessAllowedAceEx, "RtlAddAccessAllowedAceEx") &&
      find(security.RtlCreateSecurityDescriptor, "RtlCreateSecurityDescriptor") &&
      find(security.RtlSetDaclSecurityDescriptor, "RtlSetDaclSecurityDescriptor") &&
      find(security.RtlSetControlSecurityDescriptor, "RtlSetControlSecurityDescriptor") &&
      find(security.NtQuerySecurityObject, "NtQuerySecurityObject") &&
      find(security.RtlGetOwnerSecurityDescriptor, "RtlGetOwnerSecurityDescriptor") &&
      find(security.RtlGetDaclSecurityDescriptor, "RtlGetDaclSecurityDescriptor") &&
      find(security.RtlGetAce, "RtlGetAce") && find(security.RtlEqualSid, "RtlEqualSid");
  if (!all) security.RtlEqualSid = nullptr;
  return all;
}

// A SID as the token gives it; SECURITY_MAX_SID_SIZE bytes hold any SID.
struct token_sid {
  alignas(8) unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  PSID sid = nullptr;
};

// The token's user and default owner, and its AppContainer SID when it runs in one. Read once.
struct token_identity {
  bool read = false;
  token_sid user, owner, app_container;
};

token_identity identity;

bool token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* bytes, ULONG size) {
  ULONG returned = 0;
  return security.NtQueryInformationToken(token, kind, bytes, size, &returned) >= 0;
}

bool read_token_identity() {
  if (identity.read) return identity.user.sid != nullptr;
  identity.read = true;
  if (!load_security_functions()) return false;
  HANDLE token;
  if (security.NtOpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) < 0) return false;
  if (token_information(token, TokenUser, identity.user.bytes, sizeof identity.user.bytes)) {
    identity.user.sid = reinterpret_cast<TOKEN_USER*>(identity.user.bytes)->User.Sid;
  }
  if (token_information(token, TokenOwner, identity.owner.bytes, sizeof identity.owner.bytes)) {
    identity.owner.sid = reinterpret_cast<TOKEN_OWNER*>(identity.owner.bytes)->Owner;
  }
  // Systems before Windows 8 know neither query; a process there runs in no AppContainer.
  DWORD in_app_container = 0;
  if (token_information(token, TokenIsAppContainer, &in_app_container, sizeof in_app_container) &&
      in_app_container != 0 &&
      token_information(token, TokenAppContainerSid, identity.app_container.bytes,
                        sizeof identity.app_container.bytes)) {
    identity.app_container.sid =
        reinterpret_cast<TOKEN_APPCONTAINER_INFORMATION*>(identity.app_container.bytes)
            ->TokenAppContainer;
  }
  CloseHandle(token);
  return identity.user.sid != nullptr;
}

// An object's security descriptor as far as asked for, in room for any that a file has.
struct object_security {
  alignas(8) unsigned char bytes[8192];
  PSECURITY_DESCRIPTOR descriptor() { return bytes; }
};

bool query_security(HANDLE handle, SECURITY_INFORMATION what, object_security& security_copy) {
  ULONG needed = 0;
  return security.NtQuerySecurityObject(handle, what, security_copy.descriptor(),
                                        sizeof security_copy.bytes, &needed) >= 0;
}

constexpr std::size_t ace_room = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE;
alignas(8) unsigned char owner_only_acl[sizeof(ACL) + 2 * ace_room];
SECURITY_DESCRIPTOR owner_only_descriptor;

bool allow_full_access(PSID sid) {
  return security.RtlAddAccessAllowedAceEx(reinterpret_cast<ACL*>(owner_only_acl), ACL_REVISION,
                                           OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                           FILE_ALL_ACCESS, sid) >= 0;
}

}  // namespace

bool owner_only_security(SECURITY_ATTRIBUTES* attributes) {
  if (!read_token_identity()) return false;
  // Protected: nothing is inherited from the folder above. Never an empty DACL, which would
  // grant nobody anything (and leaves an unusable directory under Wine).
  auto* acl = reinterpret_cast<ACL*>(owner_only_acl);
  if (security.RtlCreateAcl(acl, sizeof owner_only_acl, ACL_REVISION) < 0 ||
      !allow_full_access(identity.user.sid) ||
      (identity.app_container.sid != nullptr && !allow_full_access(identity.app_container.sid)) ||
      security.RtlCreateSecurityDescriptor(&owner_only_descriptor, SECURITY_DESCRIPTOR_REVISION) <
          0 ||
      security.RtlSetDaclSecurityDescriptor(&owner_only_descriptor, TRUE, acl, FALSE) < 0 ||
      security.RtlSetControlSecurityDescriptor(&owner_only_descriptor, SE_DACL_PROTECTED,
                                               SE_DACL_PROTECTED) < 0) {
    return false;
  }
  *attributes = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), &owner_only_descriptor, FALSE};
  return true;
}

bool owned_by_process_user(void* handle) {
  if (!read_token_identity()) return false;
  object_security found;
  PSID owner = nullptr;
  BOOLEAN defaulted = FALSE;
  if (!query_security(handle, OWNER_SECURITY_INFORMATION, found) ||
      security.RtlGetOwnerSecurityDescriptor(found.descriptor(), &owner, &defaulted) < 0) {
    return false;
  }
  // An elevated administrator's new objects are owned by the token's default owner instead.
  return owner != nullptr &&
         (security.RtlEqualSid(owner, identity.user.sid) ||
          (identity.owner.sid != nullptr && security.RtlEqualSid(owner, identity.owner.sid)));
}

bool grants_only_process_user(void* handle) {
  if (!read_token_identity()) return false;
  object_security found;
  ACL* dacl = nullptr;
  BOOLEAN present = FALSE;
  BOOLEAN defaulted = FALSE;
  if (!query_security(handle, DACL_SECURITY_INFORMATION, found) ||
      security.RtlGetDaclSecurityDescriptor(found.descriptor(), &present, &dacl, &defaulted) < 0) {
    return false;
  }
  // The local system account: Wine adds it when it reads a DACL back, and it is above any
  // directory's DACL anyway.
  SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
  struct {
    BYTE revision = SID_REVISION;
    BYTE count = 1;
    SID_IDENTIFIER_AUTHORITY authority;
    DWORD local_system = SECURITY_LOCAL_SYSTEM_RID;
  } system_sid{};
  system_sid.authority = nt_authority;
  // No DACL at all grants everyone everything. Denials take nothing from the user that matters
  // here; an allowance to anyone else, or of a kind not known here, is not owner-only.
  bool only = present && dacl != nullptr;
  for (DWORD i = 0; only && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (security.RtlGetAce(dacl, i, reinterpret_cast<void**>(&header)) < 0) {
      only = false;
    } else if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart;
      only = security.RtlEqualSid(sid, identity.user.sid) ||
             (identity.app_container.sid != nullptr &&
              security.RtlEqualSid(sid, identity.app_container.sid)) ||
             security.RtlEqualSid(sid, &system_sid);
    } else {
      only = header->AceType == ACCESS_DENIED_ACE_TYPE;
    }
  }
  return only;
}
