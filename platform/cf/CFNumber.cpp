#include "platform/cf/CFInternal.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

using namespace hx::cf;

namespace {

// Made before any initialiser of another file can ask for them.
constinit HXCFBoolean gTrue(true), gFalse(false);

// The value of a real number as a 64-bit integer when it is one exactly.
bool exactInteger(double d, std::int64_t* v) {
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || std::trunc(d) != d)
        return false;
    *v = std::int64_t(d);
    return true;
}

// The canonical type of each accepted type, and its size.
CFNumberType canonical(CFNumberType t) {
    switch (t) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
        return kCFNumberSInt8Type;
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
        return kCFNumberSInt16Type;
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
        return kCFNumberSInt32Type;
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
    case kCFNumberNSIntegerType:
        return kCFNumberSInt64Type;
    case kCFNumberFloat32Type:
    case kCFNumberFloatType:
        return kCFNumberFloat32Type;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
    case kCFNumberCGFloatType:
        return kCFNumberFloat64Type;
    default:
        return 0;
    }
}

CFIndex sizeOf(CFNumberType canon) {
    switch (canon) {
    case kCFNumberSInt8Type:
        return 1;
    case kCFNumberSInt16Type:
        return 2;
    case kCFNumberSInt32Type:
    case kCFNumberFloat32Type:
        return 4;
    default:
        return 8;
    }
}

template <class T> bool storeInteger(std::int64_t v, void* out) {
    T t;
    bool exact = true;
    if (v < std::int64_t(std::numeric_limits<T>::min()))
        t = std::numeric_limits<T>::min(), exact = false;
    else if (v > std::int64_t(std::numeric_limits<T>::max()))
        t = std::numeric_limits<T>::max(), exact = false;
    else
        t = T(v);
    std::memcpy(out, &t, sizeof t);
    return exact;
}

// A real number read as an integer: NaN gives 0, beyond the type saturates,
// a fraction is cut toward zero.
template <class T> bool storeRealAsInteger(double d, void* out) {
    T t;
    bool exact = false;
    if (std::isnan(d))
        t = 0;
    else if (d <= double(std::numeric_limits<T>::min()))
        t = std::numeric_limits<T>::min(), exact = d == double(t);
    else if (d >= double(std::numeric_limits<T>::max()) + 1.0)
        t = std::numeric_limits<T>::max();
    else
        t = T(d), exact = double(t) == d;
    std::memcpy(out, &t, sizeof t);
    return exact;
}

void appendReal(double d, std::string& out) {
    if (std::isnan(d)) {
        out += "nan";
    } else if (std::isinf(d)) {
        out += d < 0 ? "-inf" : "inf";
    } else {
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof buf, d);
        out.append(buf, r.ptr);
    }
}

} // namespace

bool HXCFNumber::equals(const Object& other) const {
    const auto& o = static_cast<const HXCFNumber&>(other);
    if (!mIsFloat && !o.mIsFloat) return mInt == o.mInt;
    if (mIsFloat && o.mIsFloat)
        return mReal == o.mReal || (std::isnan(mReal) && std::isnan(o.mReal));
    const HXCFNumber& f = mIsFloat ? *this : o;
    const HXCFNumber& i = mIsFloat ? o : *this;
    std::int64_t v;
    return exactInteger(f.mReal, &v) && v == i.mInt;
}

CFHashCode HXCFNumber::hash() const {
    std::int64_t v = mInt;
    if (mIsFloat && !exactInteger(mReal, &v)) {
        std::uint64_t bits;
        std::memcpy(&bits, &mReal, sizeof bits);
        return CFHashCode(bits * 0x9E3779B97F4A7C15ull);
    }
    return CFHashCode(std::uint64_t(v) * 0x9E3779B97F4A7C15ull);
}

void HXCFNumber::describe(std::string& out, int) const {
    if (mIsFloat)
        appendReal(mReal, out);
    else
        out += std::to_string(mInt);
}

bool HXCFBoolean::equals(const Object& other) const {
    return mValue == static_cast<const HXCFBoolean&>(other).mValue;
}
void HXCFBoolean::describe(std::string& out, int) const {
    out += mValue ? "true" : "false";
}

namespace hx::cf {

CFNumberRef makeInteger(std::int64_t v) {
    auto* n = new HXCFNumber;
    n->mType = kCFNumberSInt64Type;
    n->mInt = v;
    return n;
}

CFNumberRef makeReal(double v) {
    auto* n = new HXCFNumber;
    n->mType = kCFNumberFloat64Type;
    n->mIsFloat = true;
    n->mReal = v;
    return n;
}

bool integerValue(CFNumberRef n, std::int64_t* v) {
    auto* num = as<HXCFNumber>(n);
    if (!num || num->mIsFloat) return false;
    *v = num->mInt;
    return true;
}

bool realValue(CFNumberRef n, double* v) {
    auto* num = as<HXCFNumber>(n);
    if (!num || !num->mIsFloat) return false;
    *v = num->mReal;
    return true;
}

} // namespace hx::cf

extern "C" {

const CFBooleanRef kCFBooleanTrue = &gTrue;
const CFBooleanRef kCFBooleanFalse = &gFalse;

CFTypeID CFBooleanGetTypeID(void) {
    return kTypeBoolean;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
    auto* b = as<HXCFBoolean>(boolean);
    return b && b->mValue;
}

CFTypeID CFNumberGetTypeID(void) {
    return kTypeNumber;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
    const CFNumberType canon = canonical(theType);
    if (!canon || !valuePtr) return nullptr;
    auto* n = new HXCFNumber;
    n->mType = canon;
    // The value as the caller's type says (it may be unaligned).
    auto load = [valuePtr](auto v) {
        std::memcpy(&v, valuePtr, sizeof v);
        return v;
    };
    switch (canon) {
    case kCFNumberSInt8Type:
        n->mInt = load(std::int8_t());
        break;
    case kCFNumberSInt16Type:
        n->mInt = load(std::int16_t());
        break;
    case kCFNumberSInt32Type:
        n->mInt = load(std::int32_t());
        break;
    case kCFNumberFloat32Type:
        n->mIsFloat = true;
        n->mReal = load(float());
        break;
    case kCFNumberFloat64Type:
        n->mIsFloat = true;
        n->mReal = load(double());
        break;
    default:
        n->mInt = load(std::int64_t());
        break;
    }
    return n;
}

CFNumberType CFNumberGetType(CFNumberRef number) {
    auto* n = as<HXCFNumber>(number);
    return n ? n->mType : 0;
}

CFIndex CFNumberGetByteSize(CFNumberRef number) {
    auto* n = as<HXCFNumber>(number);
    return n ? sizeOf(n->mType) : 0;
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
    auto* n = as<HXCFNumber>(number);
    return n && n->mIsFloat;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
    auto* n = as<HXCFNumber>(number);
    const CFNumberType canon = canonical(theType);
    if (!n || !canon || !valuePtr) return false;
    switch (canon) {
    case kCFNumberSInt8Type:
        return n->mIsFloat ? storeRealAsInteger<std::int8_t>(n->mReal, valuePtr)
                           : storeInteger<std::int8_t>(n->mInt, valuePtr);
    case kCFNumberSInt16Type:
        return n->mIsFloat ? storeRealAsInteger<std::int16_t>(n->mReal, valuePtr)
                           : storeInteger<std::int16_t>(n->mInt, valuePtr);
    case kCFNumberSInt32Type:
        return n->mIsFloat ? storeRealAsInteger<std::int32_t>(n->mReal, valuePtr)
                           : storeInteger<std::int32_t>(n->mInt, valuePtr);
    case kCFNumberSInt64Type:
        return n->mIsFloat ? storeRealAsInteger<std::int64_t>(n->mReal, valuePtr)
                           : storeInteger<std::int64_t>(n->mInt, valuePtr);
    case kCFNumberFloat32Type: {
        const double d = n->mIsFloat ? n->mReal : double(n->mInt);
        float f;
        bool exact;
        if (std::isnan(d)) {
            f = std::numeric_limits<float>::quiet_NaN();
            exact = true;
        } else if (std::isfinite(d) && std::fabs(d) > double(std::numeric_limits<float>::max())) {
            f = d < 0 ? std::numeric_limits<float>::lowest() : std::numeric_limits<float>::max();
            exact = false;
        } else {
            f = float(d);
            exact = double(f) == d && (n->mIsFloat || std::int64_t(d) == n->mInt);
        }
        std::memcpy(valuePtr, &f, sizeof f);
        return exact;
    }
    default: {
        double d = n->mIsFloat ? n->mReal : double(n->mInt);
        std::int64_t back;
        bool exact = n->mIsFloat || (exactInteger(d, &back) && back == n->mInt);
        std::memcpy(valuePtr, &d, sizeof d);
        return exact;
    }
    }
}

CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void*) {
    auto* a = as<HXCFNumber>(number);
    auto* b = as<HXCFNumber>(otherNumber);
    if (!a || !b) return a ? kCFCompareGreaterThan : (b ? kCFCompareLessThan : kCFCompareEqualTo);
    if (a->equals(*b)) return kCFCompareEqualTo;
    if (!a->mIsFloat && !b->mIsFloat)
        return a->mInt < b->mInt ? kCFCompareLessThan : kCFCompareGreaterThan;
    const double x = a->mIsFloat ? a->mReal : double(a->mInt);
    const double y = b->mIsFloat ? b->mReal : double(b->mInt);
    if (std::isnan(x)) return kCFCompareLessThan; // NaN sorts first
    if (std::isnan(y)) return kCFCompareGreaterThan;
    if (x == y) return kCFCompareEqualTo;
    return x < y ? kCFCompareLessThan : kCFCompareGreaterThan;
}
}
