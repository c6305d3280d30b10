/* Configuration of the interpreter's headers for building quelt_sdk.pyd with
   mingw-w64 for 64-bit Windows. Only what the limited API needs: the
   extension imports everything from python3.dll and defines nothing of the
   interpreter itself. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WINDOWS
#define MS_WIN32
#define MS_WIN64
#define NT_THREADS
#define WITH_THREAD

/* Every interpreter function and object comes from a DLL. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define HAVE_STDDEF_H 1
#define HAVE_SSIZE_T 1

/* LLP64: long stays 32 bits on 64-bit Windows. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_PID_T 8
#define SIZEOF_HKEY 8
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4

#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define PY_FORMAT_SIZE_T "z"

#endif /* Py_CONFIG_H */
