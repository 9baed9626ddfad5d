#include "processing/JsonText.h"

std::string JsonEscape(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size() + 8);
    for (const char c : text)
    {
        switch (c)
        {
        case '"':
            escaped += "\\\"";
            break;
        case '\\':
            escaped += "\\\\";
            break;
        case '\b':
            escaped += "\\b";
            break;
        case '\f':
            escaped += "\\f";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\r':
            escaped += "\\r";
            break;
        case '\t':
            escaped += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20)
            {
                // Any other control character (NUL included) as \u00XX: JSON allows none raw, and
                // the library refuses a request that holds one.
                static const char kHex[] = "0123456789abcdef";
                escaped += "\\u00";
                escaped += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
                escaped += kHex[static_cast<unsigned char>(c) & 0xF];
            }
            else
            {
                escaped += c;
            }
            break;
        }
    }
    return escaped;
}
