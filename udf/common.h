// Bit and extent helpers and the library's identity.
#ifndef KORVA_UDF_COMMON_H
#define KORVA_UDF_COMMON_H

#include <cstdint>

namespace korva {

// Copied, all 23 bytes, into the identifier of every implementation entity we write.
extern const uint8_t ImplementationIdentifier[23];

// Release number and date, one line without a line break.
const char *GetKORVAVersion();

// Set or clear the `count` most significant bits of one byte (bit 7 downward). A count of 0 or
// less changes nothing; a count above 8 acts like 8.
void SetHigherOrderBits(uint8_t &value, int32_t count);
void ResetHigherOrderBits(uint8_t &value, int32_t count);

// Splits the extent-length word of an allocation descriptor: the type is the top two bits
// (0 recorded, 1 allocated only, 2 not allocated, 3 next extent of descriptors), the length
// the low 30 bits. Always returns true.
bool ExtractExtentTypeAndLength(uint32_t word, uint8_t &type, uint32_t &length);

} // namespace korva

#endif
