// The shared library's calls of exp, log, log2 and pow, bound to the symbol
// versions every x86-64 glibc has had since its first release.
//
// glibc 2.29 gave these four functions new symbol versions: the same
// computation without the old error-handling wrapper, a little faster. A
// library linked against 2.29 or later asks for those versions and will not
// load on an older C library (RHEL 7 and 8, SLES 12, ...), although the old
// versions compute the same values. The link of the shared library renames
// every reference to these functions to __wrap_<name> (--wrap), and the
// wrappers below call the old versions by their versioned names.
//
// Only the shared library is linked this way; the framework, the tests and
// the tools call the functions as they are.
#if defined(__linux__) && defined(__x86_64__)

extern "C" {
double velmorExpOld(double);
double velmorLogOld(double);
double velmorLog2Old(double);
double velmorPowOld(double, double);
__asm__(".symver velmorExpOld, exp@GLIBC_2.2.5");
__asm__(".symver velmorLogOld, log@GLIBC_2.2.5");
__asm__(".symver velmorLog2Old, log2@GLIBC_2.2.5");
__asm__(".symver velmorPowOld, pow@GLIBC_2.2.5");

double __wrap_exp(double x)
{
    return velmorExpOld(x);
}
double __wrap_log(double x)
{
    return velmorLogOld(x);
}
double __wrap_log2(double x)
{
    return velmorLog2Old(x);
}
double __wrap_pow(double x, double y)
{
    return velmorPowOld(x, y);
}
}

#endif
