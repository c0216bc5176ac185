// The Python C API names a 3.10 build of the module refers to that other Pythons lack, declared
// weak so that every Python can load the module far enough to be told it is the wrong one.
//
// Python loads an extension with every symbol bound at once (RTLD_NOW): one name its own library
// lacks fails the load with "undefined symbol ..." before PyInit_tovalib can raise the
// version-mismatch ImportError. A weak reference to a missing name binds to null instead; on
// those Pythons nothing runs past the version check, and on 3.10 each binds as usual. The list
// is what `nm -D --undefined-only` shows the library needs and the interpreters 3.6-3.13 lack;
// test_binding.py loads the module with each to keep it whole. This header is forced into every
// translation unit (CMakeLists.txt), since one strong reference anywhere makes the symbol strong.
#pragma once

// Named by pybind11 2.13's headers.
#pragma weak _PyThreadState_UncheckedGet  // gone in 3.13
#pragma weak PyCMethod_New                // 3.9 on
#pragma weak PyFrame_GetBack              // 3.9 on
#pragma weak PyFrame_GetCode              // 3.9 on
#pragma weak PyThread_tss_alloc           // 3.7 on
#pragma weak PyThread_tss_create          // 3.7 on
#pragma weak PyThread_tss_get             // 3.7 on
#pragma weak PyThread_tss_set             // 3.7 on

// Named by the sampler.
#pragma weak PyGC_Disable              // 3.10 on
#pragma weak PyGC_Enable               // 3.10 on
#pragma weak PyIndex_Check             // a function from 3.8 on, a macro before
#pragma weak PyPickleBuffer_GetBuffer  // 3.8 on
#pragma weak PyPickleBuffer_Type       // 3.8 on
