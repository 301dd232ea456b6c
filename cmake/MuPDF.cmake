# MuPDF, for the tests' and the benchmarks' comparisons only: never linked into the core or the
# application. Defines the target folimeter_mupdf (with FOLIMETER_HAVE_MUPDF) when it is installed,
# else FOLIMETER_MUPDF_MISSING, what is missing.
include_guard(GLOBAL)
# Debian's libmupdf.a is static and its pkg-config file leaves out harfbuzz; the static
# library needs these beside it. harfbuzz is taken from its run-time library so that its
# development package (and the GLib one it pulls in) is not needed.
find_path(MUPDF_INCLUDE_DIR mupdf/fitz.h)
find_library(MUPDF_LIBRARY NAMES mupdf)
find_library(MUPDF_THIRD_LIBRARY NAMES mupdf-third)
set(_mupdf_deps)
set(_mupdf_missing)
foreach(dep mujs gumbo openjp2 jbig2dec jpeg freetype z)
    find_library(MUPDF_DEP_${dep} NAMES ${dep})
    if(MUPDF_DEP_${dep})
        list(APPEND _mupdf_deps ${MUPDF_DEP_${dep}})
    else()
        list(APPEND _mupdf_missing lib${dep})
    endif()
endforeach()
find_library(MUPDF_DEP_harfbuzz NAMES harfbuzz libharfbuzz.so.0)
if(MUPDF_DEP_harfbuzz)
    list(APPEND _mupdf_deps ${MUPDF_DEP_harfbuzz})
else()
    list(APPEND _mupdf_missing libharfbuzz)
endif()

if(MUPDF_INCLUDE_DIR AND MUPDF_LIBRARY AND MUPDF_THIRD_LIBRARY AND NOT _mupdf_missing)
    add_library(folimeter_mupdf INTERFACE)
    target_compile_definitions(folimeter_mupdf INTERFACE FOLIMETER_HAVE_MUPDF)
    target_include_directories(folimeter_mupdf SYSTEM INTERFACE ${MUPDF_INCLUDE_DIR})
    target_link_libraries(folimeter_mupdf INTERFACE ${MUPDF_LIBRARY} ${MUPDF_THIRD_LIBRARY} ${_mupdf_deps} m)
else()
    set(FOLIMETER_MUPDF_MISSING "${_mupdf_missing}")
endif()
