#include "res/format.h"

namespace {

// Appends to the caller's buffer, keeping room for the NUL; what does not fit is dropped.
class Output {
  public:
    Output(char* out, size_t size) : out_(out), size_(size) {}

    void Put(char c) {
        if (length_ + 1 < size_) out_[length_++] = c;
    }
    void Repeat(char c, unsigned times) {
        for (unsigned i = 0; i < times; ++i)
            Put(c);
    }
    size_t Finish() {
        if (size_ > 0) out_[length_] = '\0';
        return length_;
    }

  private:
    char* out_;
    size_t size_;
    size_t length_ = 0;
};

struct Conversion {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    unsigned width = 0;
    bool hasPrecision = false;
    unsigned precision = 0;
    char type = 'u';
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads at most two decimal digits; more would be a width no template needs, and refusing
// them keeps a runaway number from being taken for a field width.
bool ReadSmallNumber(const char*& p, unsigned* value) {
    *value = 0;
    int digits = 0;
    while (IsDigit(*p)) {
        if (++digits > 2) return false;
        *value = *value * 10 + unsigned(*p - '0');
        ++p;
    }
    return true;
}

// Parses "flags width .precision type!" after the opening '!'. On success `p` points past the
// closing '!'.
bool ParseConversion(const char*& p, Conversion* conv) {
    for (;; ++p) {
        if (*p == '-') {
            conv->left = true;
        } else if (*p == '0') {
            conv->zero = true;
        } else if (*p == '+') {
            conv->plus = true;
        } else if (*p == ' ') {
            conv->space = true;
        } else if (*p == '#') {
            conv->alternate = true;
        } else {
            break;
        }
    }
    if (!ReadSmallNumber(p, &conv->width)) return false;
    if (*p == '.') {
        ++p;
        conv->hasPrecision = true;
        if (!ReadSmallNumber(p, &conv->precision)) return false;
    }
    switch (*p) {
        case 'u':
        case 'd':
        case 'i':
        case 'x':
        case 'X':
        case 'o':
            conv->type = *p;
            break;
        case 's':  // every argument here is a number: a plain insert shows it in decimal
            conv->type = 'u';
            break;
        default:
            return false;
    }
    ++p;
    if (*p != '!') return false;
    ++p;
    return true;
}

void PutNumber(Output& out, const Conversion& conv, uint32_t arg) {
    const bool isSigned = conv.type == 'd' || conv.type == 'i';
    const bool negative = isSigned && int32_t(arg) < 0;
    uint32_t magnitude = negative ? uint32_t(0) - arg : arg;

    const unsigned base = conv.type == 'x' || conv.type == 'X' ? 16 : conv.type == 'o' ? 8 : 10;
    const char* digitSet = conv.type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[12];  // 4294967295 in octal is 11 digits
    unsigned count = 0;
    while (magnitude != 0) {
        digits[count++] = digitSet[magnitude % base];
        magnitude /= base;
    }
    // A zero shows as "0" unless an explicit precision of 0 asks for no digits at all.
    unsigned minimumDigits = conv.hasPrecision ? conv.precision : 1;
    if (conv.type == 'o' && conv.alternate && minimumDigits <= count) minimumDigits = count + 1;
    const unsigned zeros = minimumDigits > count ? minimumDigits - count : 0;

    char sign = 0;
    if (negative) {
        sign = '-';
    } else if (isSigned && conv.plus) {
        sign = '+';
    } else if (isSigned && conv.space) {
        sign = ' ';
    }
    const char* prefix = "";
    if (conv.alternate && arg != 0 && conv.type == 'x') prefix = "0x";
    if (conv.alternate && arg != 0 && conv.type == 'X') prefix = "0X";
    unsigned prefixLength = 0;
    while (prefix[prefixLength] != '\0')
        ++prefixLength;

    const unsigned length = (sign ? 1 : 0) + prefixLength + zeros + count;
    const unsigned pad = conv.width > length ? conv.width - length : 0;
    // As in printf: '-' beats '0', and a precision turns the '0' flag off.
    const bool zeroPad = conv.zero && !conv.left && !conv.hasPrecision;

    if (!conv.left && !zeroPad) out.Repeat(' ', pad);
    if (sign) out.Put(sign);
    for (unsigned i = 0; i < prefixLength; ++i)
        out.Put(prefix[i]);
    out.Repeat('0', zeros + (zeroPad ? pad : 0));
    while (count > 0)
        out.Put(digits[--count]);
    if (conv.left) out.Repeat(' ', pad);
}

}  // namespace

size_t FormatMessage(char* out, size_t size, const char* format, const uint32_t* args,
                     size_t count) {
    Output output(out, size);
    if (format == nullptr) return output.Finish();

    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            output.Put(*p++);
            continue;
        }
        if (p[1] == '%') {
            output.Put('%');
            p += 2;
            continue;
        }
        // A marker that does not parse, or names an argument we were not given, is shown as
        // it stands: the '%' goes out as text and the rest follows as ordinary characters.
        const char* q = p + 1;
        unsigned number = 0;
        Conversion conv;
        const bool parsed = IsDigit(*q) && *q != '0' && ReadSmallNumber(q, &number) &&
                            (*q != '!' || ParseConversion(++q, &conv));
        if (!parsed || args == nullptr || number > count) {
            output.Put(*p++);
            continue;
        }
        PutNumber(output, conv, args[number - 1]);
        p = q;
    }
    return output.Finish();
}
