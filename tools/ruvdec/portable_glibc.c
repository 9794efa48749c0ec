/* For the portable ruvdec, whose C++ runtime is linked in: that runtime's
 * std::random_device (never used by ruvdec, but linked with the string code)
 * refers to arc4random, which the C library has only from glibc 2.36. This
 * definition, on getrandom (glibc 2.25), keeps the program running on glibc 2.34. */
#include <stdint.h>
#include <sys/random.h>

uint32_t arc4random(void) {
    uint32_t value = 0;
    while (getrandom(&value, sizeof value, 0) != (ssize_t)sizeof value) {
    }
    return value;
}
