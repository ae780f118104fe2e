// prelude.h - what MSVC's C runtime declares and Wine's msvcrt headers lack, for the MSVC-mode check.
// libc++'s <cmath> names every long double function in the global namespace; the UCRT has them.
#define MSVC_CHECK_L1(f) long double f(long double);
#define MSVC_CHECK_L2(f) long double f(long double, long double);
MSVC_CHECK_L1(acosl) MSVC_CHECK_L1(acoshl) MSVC_CHECK_L1(asinl) MSVC_CHECK_L1(asinhl) MSVC_CHECK_L1(atanl)
MSVC_CHECK_L1(atanhl) MSVC_CHECK_L2(atan2l) MSVC_CHECK_L1(cbrtl) MSVC_CHECK_L1(ceill) MSVC_CHECK_L1(cosl)
MSVC_CHECK_L1(coshl) MSVC_CHECK_L1(erfl) MSVC_CHECK_L1(erfcl) MSVC_CHECK_L1(expl) MSVC_CHECK_L1(exp2l)
MSVC_CHECK_L1(expm1l) MSVC_CHECK_L1(fabsl) MSVC_CHECK_L2(fdiml) MSVC_CHECK_L1(floorl) MSVC_CHECK_L2(fmaxl)
MSVC_CHECK_L2(fminl) MSVC_CHECK_L2(fmodl) MSVC_CHECK_L2(hypotl) MSVC_CHECK_L1(lgammal) MSVC_CHECK_L1(logl)
MSVC_CHECK_L1(log10l) MSVC_CHECK_L1(log1pl) MSVC_CHECK_L1(log2l) MSVC_CHECK_L1(logbl) MSVC_CHECK_L1(nearbyintl)
MSVC_CHECK_L2(nextafterl) MSVC_CHECK_L2(nexttowardl) MSVC_CHECK_L2(powl) MSVC_CHECK_L2(remainderl)
MSVC_CHECK_L1(sinl) MSVC_CHECK_L1(sinhl) MSVC_CHECK_L1(sqrtl) MSVC_CHECK_L1(tanl) MSVC_CHECK_L1(tanhl)
MSVC_CHECK_L1(tgammal)
long double frexpl(long double, int *);
int ilogbl(long double);
long double ldexpl(long double, int);
long double modfl(long double, long double *);
long double remquol(long double, long double, int *);
long double scalblnl(long double, long);
long double scalbnl(long double, int);
float erfcf(float);
float nexttowardf(float, long double);
struct timespec {
    long long tv_sec;
    long tv_nsec;
};
