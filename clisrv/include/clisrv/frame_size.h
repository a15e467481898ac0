// The sizes of a protected frame, and from them the largest packet a tunnel
// carries whole over an ordinary 1500-byte network. Plain constants, with no
// dependencies, so that tapwarden can size its interfaces by them too.
//
// A protected frame: an 8-byte header (the length word, or over UDP the
// SPI, then the sequence word); the message in AES-CBC, padded with 1 to 16
// bytes to whole blocks; the 16-byte IV; the 12-byte MAC.
#pragma once

#include <cstddef>

constexpr size_t MSG_CRYPTO_HEADER = 8;
constexpr size_t MSG_CRYPTO_BLOCK = 16;  // the AES block: unit of the padding, size of the IV
constexpr size_t MSG_CRYPTO_MAC = 12;    // HMAC-SHA1 cut to 96 bits

// The most that protect adds to a frame: padding, IV and MAC.
constexpr size_t MSG_CRYPTO_GROWTH = MSG_CRYPTO_BLOCK + MSG_CRYPTO_BLOCK + MSG_CRYPTO_MAC;

// The longest message whose protected frame takes at most `frame_bytes`:
// what is left after header, IV and MAC, cut to whole blocks, less the one
// byte of padding there always is.
constexpr size_t msg_crypto_max_message(size_t frame_bytes) {
  return (frame_bytes - MSG_CRYPTO_HEADER - MSG_CRYPTO_BLOCK - MSG_CRYPTO_MAC) /
             MSG_CRYPTO_BLOCK * MSG_CRYPTO_BLOCK - 1;
}

// A tunnel datagram's message is one protocol byte and the IPv4 packet. A
// path of 1500 bytes (Ethernet) leaves 1472 for the datagram after the IPv4
// and UDP headers, so a tunnel interface with a larger MTU than this gets
// every full-size packet fragmented on the way.
constexpr size_t UNDERLAY_MTU = 1500;
constexpr size_t UNDERLAY_IPV4_UDP_HEADERS = 20 + 8;
constexpr size_t TUNNEL_PROTOCOL_BYTES = 1;
constexpr size_t TUNNEL_MAX_MTU =
    msg_crypto_max_message(UNDERLAY_MTU - UNDERLAY_IPV4_UDP_HEADERS) - TUNNEL_PROTOCOL_BYTES;
