// Extension-flag routines of the protocol constants.
#include "protocol/gax_qor_consts.h"

namespace gax {

std::u16string ExtFlagsToText(uint32_t flags) {
    // Log order differs from bit order: UTF8 comes before SoundAck.
    static constexpr struct {
        uint32_t bit;
        std::u16string_view name;
    } kOrder[] = {
        {QOR_EXT_UTF8, QOR_EXTNAME_UTF8},
        {QOR_EXT_SOUND_ACK, QOR_EXTNAME_SOUND_ACK},
        {QOR_EXT_SHORT_FRAMES, QOR_EXTNAME_SHORT_FRAMES},
        {QOR_EXT_NO_MESSAGES_FROM_SERVER, QOR_EXTNAME_NO_MESSAGES_FROM_SERVER},
        {QOR_EXT_SPEAKER_INFO, QOR_EXTNAME_SPEAKER_INFO},
        {QOR_EXT_TEMP_MUTE_BLOCK, QOR_EXTNAME_TEMP_MUTE_BLOCK},
        {QOR_EXT_NET_CHANGE_INFO, QOR_EXTNAME_NET_CHANGE_INFO},
        {QOR_EXT_MOVE_CLIENT, QOR_EXTNAME_MOVE_CLIENT},
        {QOR_EXT_CACHE_LIST, QOR_EXTNAME_CACHE_LIST},
        {QOR_EXT_EXTENDER1, QOR_EXTNAME_EXTENDER1},
    };
    std::u16string out;
    auto add = [&out](std::u16string_view w) {
        if (!out.empty()) out += u", ";
        out += w;
    };
    const uint32_t format = flags & QOR_EXT_LIST_FORMAT_MASK;
    if (format != 0) add(QORListFormatNames[format]);
    for (const auto& e : kOrder)
        if (flags & e.bit) add(e.name);
    return out;
}

uint32_t NormalizeRequestedExtFlags(uint32_t flags) {
    constexpr uint32_t kUtf8ListData =
        QOR_EXT_SPEAKER_INFO | QOR_EXT_NET_CHANGE_INFO | QOR_EXT_CACHE_LIST;
    const uint32_t format = flags & QOR_EXT_LIST_FORMAT_MASK;
    if (format == QOR_LIST_FORMAT_QOR) return flags & QOR_EXT_NO_MESSAGES_FROM_SERVER;
    if (flags & QOR_EXT_UTF8) return flags;
    flags &= ~kUtf8ListData;
    if (format == QOR_LIST_FORMAT_DIFF)
        flags = (flags & ~QOR_EXT_LIST_FORMAT_MASK) | QOR_LIST_FORMAT_NOLIST;
    return flags;
}

}  // namespace gax
