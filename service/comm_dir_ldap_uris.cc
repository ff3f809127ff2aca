#include "service/comm_dir_ldap_uris.h"

#include <ldap.h>

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

}  // namespace velmarosta
