// Marks the functions that every exchange runs through. GCC and clang place
// them side by side, so that a call's code spans a few pages rather than one
// or more per source file: where every system call empties the TLB (page
// table isolation without process-context ids), each page a call touches
// after its send costs a page walk.
#ifndef LUMSDK_CORE_HOT_H_
#define LUMSDK_CORE_HOT_H_

#if defined(__GNUC__)
#define LUMSDK_HOT __attribute__((hot))
#else
#define LUMSDK_HOT
#endif

#endif  // LUMSDK_CORE_HOT_H_
