// Which URIs of a connection record the daemon connects to, read as libldap
// will read them.
//
// The daemon hands each blank-separated word of a record to ldap_initialize,
// and libldap reads a word as a list of its own: it splits it at commas and
// blanks (LDAP_OPT_URI parses with ldap_url_parselist_ext and the
// separators ", "), takes "<...>" and "URL:" around a URI, and then tries
// every URI of that list. So "ldap://a,ldapi://%2Frun%2Fslapd" is one word
// and two URIs, the second a local socket where the peer sees the daemon's
// uid. The schemes are therefore taken from libldap's own parse of each
// word, with the separators and flags that ldap_initialize uses, and not
// from the word's first letters.
#ifndef COMMDIR_SERVICE_COMM_DIR_LDAP_URIS_H_
#define COMMDIR_SERVICE_COMM_DIR_LDAP_URIS_H_

#include <string>
#include <vector>

namespace velmarosta {

// The schemes of the URIs that libldap reads in `word` ("ldap", "ldaps",
// "ldapi", ...), in its order; none when libldap cannot read it or finds no
// URI in it (it would then take its default URI, which ldap.conf sets).
std::vector<std::string> comm_dir_ldap_schemes(const std::string& word);

// The URIs that the daemon tries, in order, for a record's URI field: its
// blank-separated words, each as libldap reads it. A word of one URI stays
// as written; a word of several ("ldap://a,ldap://b") gives each of them as
// libldap writes it, so that each is connected to, failed over from and
// shown on its own; a word that libldap cannot read stays whole, for the
// scheme check to refuse.
std::vector<std::string> comm_dir_ldap_uri_list(const std::string& uris);

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_LDAP_URIS_H_
