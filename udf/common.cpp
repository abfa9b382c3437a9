#include "udf/common.h"

#include "korva/udf.h"

namespace korva {

const uint8_t ImplementationIdentifier[23] = {'*', 'Q', 'u', 'o', 'r', 'r', 'e', 'l',
                                              's', 't', 'a', 'n', ' ', 'K', 'o', 'r',
                                              'v', 'a', 'U', 'D', 'F', 0,   0};

const char *GetKORVAVersion() {
  return "Korva 1.0.1 (2026-12-08)";
}

namespace {
uint8_t TopBits(int32_t count) {
  if (count <= 0) return 0;
  if (count > 8) count = 8;
  return static_cast<uint8_t>(0xFF00u >> count);
}
} // namespace

void SetHigherOrderBits(uint8_t &value, int32_t count) {
  value = static_cast<uint8_t>(value | TopBits(count));
}

void ResetHigherOrderBits(uint8_t &value, int32_t count) {
  value = static_cast<uint8_t>(value & ~TopBits(count));
}

bool ExtractExtentTypeAndLength(uint32_t word, uint8_t &type, uint32_t &length) {
  type = static_cast<uint8_t>(word >> 30);
  length = word & 0x3FFFFFFFu;
  return true;
}

} // namespace korva

extern "C" KORVA_API const char *GetKORVAVersion(void) {
  return korva::GetKORVAVersion();
}
