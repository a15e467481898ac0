// Who may enrol: every new key (`open`, the default), only keys that an
// administrator approved (`approve`), or none (`closed`). Under `approve`
// an unknown key's enroll is refused with a status that stops the client's
// automatic retries, and the request waits in the store until `clients
// approve` or `clients reject`; an approval is used up by the enrolment it
// lets through.
//
// The key ID names a key for people: the first 8 bytes of the SHA-256 of
// the public key in the form the client keeps in client.pub (7-bit-group
// lengths), in hexadecimal. A user prints theirs with
//   sha256sum ~/.quilmar/client.pub | cut -c1-16
#pragma once

#include <cstddef>
#include <string>

enum enrol_policy { ENROL_open, ENROL_approve, ENROL_closed };

bool parse_enrol_policy(const std::string &text, enrol_policy &policy);
const char *enrol_policy_name(enrol_policy policy);

// 16 lower-case hexadecimal digits.
std::string key_id_of(const std::string &public_key);

// Requests kept at most: beyond them new keys are refused unrecorded, so
// that a flood of made-up keys cannot grow the store.
constexpr size_t MAX_PENDING = 1000;
