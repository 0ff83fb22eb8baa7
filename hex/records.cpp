// The walk over the data records of a hex list with their absolute word
// addresses, shared by every job that reads or writes the image.

#include "hex/hex.h"

namespace {

constexpr int kTypeData = 0x00;
constexpr int kTypeExtendedLinear = 0x04;

}  // namespace

HexDataCursor hexDataCursor(const HexRecord* list) {
    return HexDataCursor{list, 0, 0};
}

const HexRecord* nextHexData(HexDataCursor* cursor, uint32_t* address) {
    cursor->extended = 0;
    for (const HexRecord* record = cursor->next; record != nullptr; record = record->next) {
        if (record->type == kTypeExtendedLinear && record->count >= 1) {
            // The two bytes are big-endian; the reader stored the first byte
            // as the low half of the word.
            const uint32_t word = static_cast<uint32_t>(record->data[0]);
            cursor->upper = ((word & 0xFFu) << 8) | ((word >> 8) & 0xFFu);
            cursor->extended = 1;
        }
        if (record->type != kTypeData) {
            continue;
        }
        cursor->next = record->next;
        *address = (cursor->upper << 15) + static_cast<uint32_t>(record->address);
        return record;
    }
    cursor->next = nullptr;
    return nullptr;
}
