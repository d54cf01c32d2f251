// Who the target directory belongs to: the owner-only security descriptor it is created with, and
// the test whether an existing directory is owned by this process's user.
#include <cstddef>
#include <type_traits>

#include <windows.h>
#include <aclapi.h>

#include "cleanup/cleanup.h"

namespace {

// advapi32 on demand: only a parent that makes or judges a directory needs it, and a child that
// imported it would load it (and sechost.dll) on every start.
struct security_functions {
  decltype(&::OpenProcessToken) OpenProcessToken = nullptr;
  decltype(&::GetTokenInformation) GetTokenInformation = nullptr;
  decltype(&::InitializeAcl) InitializeAcl = nullptr;
  decltype(&::AddAccessAllowedAceEx) AddAccessAllowedAceEx = nullptr;
  decltype(&::InitializeSecurityDescriptor) InitializeSecurityDescriptor = nullptr;
  decltype(&::SetSecurityDescriptorDacl) SetSecurityDescriptorDacl = nullptr;
  decltype(&::SetSecurityDescriptorControl) SetSecurityDescriptorControl = nullptr;
  decltype(&::GetSecurityInfo) GetSecurityInfo = nullptr;
  decltype(&::EqualSid) EqualSid = nullptr;
  decltype(&::GetAce) GetAce = nullptr;
};

security_functions security;

bool load_security_functions() {
  static bool loaded = false;
  if (loaded) return security.EqualSid != nullptr;
  loaded = true;
  HMODULE advapi32 = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (advapi32 == nullptr) return false;
  const auto find = [&](auto& function, const char* name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
        reinterpret_cast<void*>(GetProcAddress(advapi32, name)));
    return function != nullptr;
  };
  const bool all = find(security.OpenProcessToken, "OpenProcessToken") &&
                   find(security.GetTokenInformation, "GetTokenInformation") &&
                   find(security.InitializeAcl, "InitializeAcl") &&
                   find(security.AddAccessAllowedAceEx, "AddAccessAllowedAceEx") &&
                   find(security.InitializeSecurityDescriptor, "InitializeSecurityDescriptor") &&
                   find(security.SetSecurityDescriptorDacl, "SetSecurityDescriptorDacl") &&
                   find(security.SetSecurityDescriptorControl, "SetSecurityDescriptorControl") &&
                   find(security.GetSecurityInfo, "GetSecurityInfo") &&
                   find(security.EqualSid, "EqualSid") && find(security.GetAce, "GetAce");
  if (!all) security.EqualSid = nullptr;
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

bool read_token_identity() {
  if (identity.read) return identity.user.sid != nullptr;
  identity.read = true;
  if (!load_security_functions()) return false;
  HANDLE token;
  if (!security.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  if (security.GetTokenInformation(token, TokenUser, identity.user.bytes,
                                   sizeof identity.user.bytes, &size)) {
    identity.user.sid = reinterpret_cast<TOKEN_USER*>(identity.user.bytes)->User.Sid;
  }
  if (security.GetTokenInformation(token, TokenOwner, identity.owner.bytes,
                                   sizeof identity.owner.bytes, &size)) {
    identity.owner.sid = reinterpret_cast<TOKEN_OWNER*>(identity.owner.bytes)->Owner;
  }
  // Systems before Windows 8 know neither query; a process there runs in no AppContainer.
  DWORD in_app_container = 0;
  if (security.GetTokenInformation(token, TokenIsAppContainer, &in_app_container,
                                   sizeof in_app_container, &size) &&
      in_app_container != 0 &&
      security.GetTokenInformation(token, TokenAppContainerSid, identity.app_container.bytes,
                                   sizeof identity.app_container.bytes, &size)) {
    identity.app_container.sid =
        reinterpret_cast<TOKEN_APPCONTAINER_INFORMATION*>(identity.app_container.bytes)
            ->TokenAppContainer;
  }
  CloseHandle(token);
  return identity.user.sid != nullptr;
}

constexpr std::size_t ace_room = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE;
alignas(8) unsigned char owner_only_acl[sizeof(ACL) + 2 * ace_room];
SECURITY_DESCRIPTOR owner_only_descriptor;

bool allow_full_access(PSID sid) {
  return security.AddAccessAllowedAceEx(reinterpret_cast<ACL*>(owner_only_acl), ACL_REVISION,
                                        OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS,
                                        sid);
}

}  // namespace

bool owner_only_security(SECURITY_ATTRIBUTES* attributes) {
  if (!read_token_identity()) return false;
  // Protected: nothing is inherited from the folder above. Never an empty DACL, which would
  // grant nobody anything (and leaves an unusable directory under Wine).
  auto* acl = reinterpret_cast<ACL*>(owner_only_acl);
  if (!security.InitializeAcl(acl, sizeof owner_only_acl, ACL_REVISION) ||
      !allow_full_access(identity.user.sid) ||
      (identity.app_container.sid != nullptr && !allow_full_access(identity.app_container.sid)) ||
      !security.InitializeSecurityDescriptor(&owner_only_descriptor,
                                             SECURITY_DESCRIPTOR_REVISION) ||
      !security.SetSecurityDescriptorDacl(&owner_only_descriptor, TRUE, acl, FALSE) ||
      !security.SetSecurityDescriptorControl(&owner_only_descriptor, SE_DACL_PROTECTED,
                                             SE_DACL_PROTECTED)) {
    return false;
  }
  *attributes = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), &owner_only_descriptor, FALSE};
  return true;
}

bool owned_by_process_user(void* handle) {
  if (!read_token_identity()) return false;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (security.GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                               nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  // An elevated administrator's new objects are owned by the token's default owner instead.
  const bool owned =
      owner != nullptr &&
      (security.EqualSid(owner, identity.user.sid) ||
       (identity.owner.sid != nullptr && security.EqualSid(owner, identity.owner.sid)));
  LocalFree(descriptor);
  return owned;
}

bool grants_only_process_user(void* handle) {
  if (!read_token_identity()) return false;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (security.GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                               &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
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
  bool only = dacl != nullptr;
  for (DWORD i = 0; only && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!security.GetAce(dacl, i, reinterpret_cast<void**>(&header))) {
      only = false;
    } else if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->SidStart;
      only = security.EqualSid(sid, identity.user.sid) ||
             (identity.app_container.sid != nullptr &&
              security.EqualSid(sid, identity.app_container.sid)) ||
             security.EqualSid(sid, &system_sid);
    } else {
      only = header->AceType == ACCESS_DENIED_ACE_TYPE;
    }
  }
  LocalFree(descriptor);
  return only;
}
