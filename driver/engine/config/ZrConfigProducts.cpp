#include "driver/engine/config/ZrConfigProducts.h"

#include "driver/engine/ZrProductTable.h"

uint32_t ZrConfigProductFlagsFor(uint16_t vendor, uint16_t product)
{
    if (vendor == kKorvexVendorID && product == kKorvexHX5100ProductID)
        return kZrProductHX5100;
    return 0;
}
