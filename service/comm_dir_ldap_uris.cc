#include "service/comm_dir_ldap_uris.h"

#include <ldap.h>

#include "service/comm_dir_failover.h"

// libldap's parser of URI lists and its release: exported by libldap 2.5
// and 2.6, declared only in its private headers. LDAP_OPT_URI, and so
// ldap_initialize, parses with the separators ", " and the flags below.
extern "C" int ldap_url_parselist_ext(LDAPURLDesc** list, const char* url, const char* separators, unsigned flags);
extern "C" void ldap_free_urllist(LDAPURLDesc* list);

namespace velmarosta {
namespace {

constexpr char kSeparators[] = ", ";
// LDAP_PVT_URL_PARSE_NOEMPTY_HOST | LDAP_PVT_URL_PARSE_DEF_PORT: they
// change how a host and a port are read, not where a URI ends or its scheme.
constexpr unsigned kParseFlags = 0x01 | 0x02;

}  // namespace

std::vector<std::string> comm_dir_ldap_schemes(const std::string& word) {
  std::vector<std::string> schemes;
  LDAPURLDesc* list = nullptr;
  if (ldap_url_parselist_ext(&list, word.c_str(), kSeparators, kParseFlags) != LDAP_URL_SUCCESS) return schemes;
  for (const LDAPURLDesc* url = list; url != nullptr; url = url->lud_next) {
    schemes.emplace_back(url->lud_scheme != nullptr ? url->lud_scheme : "");
  }
  ldap_free_urllist(list);
  return schemes;
}

std::vector<std::string> comm_dir_ldap_uri_list(const std::string& uris) {
  std::vector<std::string> list;
  for (const std::string& word : comm_dir_failover::split(uris)) {
    LDAPURLDesc* parsed = nullptr;
    if (ldap_url_parselist_ext(&parsed, word.c_str(), kSeparators, kParseFlags) != LDAP_URL_SUCCESS ||
        parsed == nullptr || parsed->lud_next == nullptr) {
      list.push_back(word);
    } else {
      for (LDAPURLDesc* url = parsed; url != nullptr; url = url->lud_next) {
        // Written out whole, or the word again where libldap cannot (no memory).
        char* written = ldap_url_desc2str(url);
        list.emplace_back(written != nullptr ? written : word);
        ldap_memfree(written);
      }
    }
    ldap_free_urllist(parsed);
  }
  return list;
}

}  // namespace velmarosta
