// The interlocked operations: sequentially consistent, on 32-bit words.
#include "host/platform.h"

extern "C" {

LONG InterlockedIncrement(LPLONG p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(LPLONG p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedExchange(LPLONG p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
LONG InterlockedCompareExchange(LPLONG p, LONG exchange, LONG comperand)
{
    __atomic_compare_exchange_n(p, &comperand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comperand;
}

}  // extern "C"
