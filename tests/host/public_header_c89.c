/* The public header as a C89 host sees it: the layouts its compiler gives the records. */
#include "pngtrans_host.h"

void PublicHeaderLayoutFromC(uint32_t* out) {
  out[0] = (uint32_t)sizeof(HostImage);
  out[1] = (uint32_t)offsetof(HostImage, maskRowBytes);
  out[2] = (uint32_t)offsetof(HostImage, allocate);
  out[3] = (uint32_t)offsetof(HostImage, backgroundColor);
  out[4] = (uint32_t)sizeof(CommandHeader);
  out[5] = (uint32_t)offsetof(CommandHeader, result);
  out[6] = (uint32_t)sizeof(TranslatorRecord);
  out[7] = (uint32_t)offsetof(TranslatorRecord, procedure);
  out[8] = (uint32_t)PNGTRANS_OPTION_WORD(1, 1, 0, 3, 8);
  out[9] = (uint32_t)(PNGTRANS_ATTRIBUTE_BASE | AttributeIndexed8 | AttributeTransparent);
  out[10] = (uint32_t)StatusBadFormat;
  out[11] = (uint32_t)XtndCommandExportWithOptions;
}
