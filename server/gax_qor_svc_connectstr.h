// The connect string's limits and the layout of the client transport block:
// the client's data laid out once, when its connect string is accepted, so
// that the manager client can send the parts each manager needs without
// rebuilding them. The block opens with nine pairs of 32-bit little-endian
// integers (offset from the block's start, length) naming its parts; parts
// start on 4-byte boundaries and the padding between them belongs to none.
//
// The reader itself is TQORSVCContext::TCP_QOR_ParseClientConnectStr
// (gax_qor_svc_connectstr.cpp). Stateless helpers; safe from any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace gax {

// Byte limits of the 8-bit fields and character limits of the UTF-8 ones.
inline constexpr int32_t kQORLimitEMail = 64;
inline constexpr int32_t kQORLimitPassword = 100;
inline constexpr int32_t kQORLimitCallsign = 50;
inline constexpr int32_t kQORLimitBand = 36;
inline constexpr int32_t kQORLimitCity = 64;
inline constexpr int32_t kQORLimitCountry = 64;
inline constexpr int32_t kQORLimitNetworkA = 32;
inline constexpr int32_t kQORLimitNetworkU8 = 64;
inline constexpr int32_t kQORLimitDescription = 70;
inline constexpr int32_t kQORConnectMaxTags = 64;
inline constexpr int32_t kQORConnectMaxTypedFields = 64;

// Header pairs of the transport block.
enum TQORTransportPart : int32_t {
    tbp_Main = 0,          // "CC:" and the tag elements
    tbp_Description = 1,   // the DS tag element
    tbp_Address = 2,       // the IP tag element
    tbp_MainLen = 3,       // I(type) and the hex-length fields
    tbp_AddressLen = 4,    // F(peer address)
    tbp_UTF8Len = 5,       // hex-length UTF-8 fields (empty without UTF-8)
    tbp_DescriptionLen = 6,
    tbp_DescriptionUTF8Len = 7,  // empty without UTF-8
    tbp_ConfirmEMail = 8,        // "ZE:" ... CR LF
};
inline constexpr int32_t kQORTransportParts = 9;
inline constexpr int32_t kQORTransportHeaderLen = kQORTransportParts * 8;

// One part of a block; empty for a part outside the block (a damaged block
// never yields a span past its end).
std::string_view TransportBlockPart(std::string_view aBlock, TQORTransportPart aPart);

}  // namespace gax
