#include "caption/arib_decoder.h"

AribDecoder::AribDecoder() { ResetDecoder(*this); }

void ResetDecoder(AribDecoder& decoder) { (void)decoder; }

bool DecodeAribText(const uint8_t* bytes, int32_t length, AribDecoder& decoder, std::string& out)
{
    (void)bytes; (void)length; (void)decoder;
    out.clear();
    return false;
}
