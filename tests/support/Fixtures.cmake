# The one builder of test files: the tests, the benchmarks and the fuzz seed writer share it.
# Included by each of their folders; the first to come defines it.
if(NOT TARGET folimeter_fixtures)
    add_library(folimeter_fixtures STATIC ${CMAKE_CURRENT_LIST_DIR}/Fixtures.cpp ${CMAKE_CURRENT_LIST_DIR}/Fixtures.h
        ${CMAKE_CURRENT_LIST_DIR}/FileKinds.cpp ${CMAKE_CURRENT_LIST_DIR}/QpdfEncryption.h
        ${CMAKE_CURRENT_LIST_DIR}/SeededRandomData.h)
    target_include_directories(folimeter_fixtures PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
    target_link_libraries(folimeter_fixtures PUBLIC Qt6::Core PRIVATE TIFF::TIFF qpdf::libqpdf ZLIB::ZLIB)
    # The kinds are written with designated initializers that leave the rest at their defaults.
    target_compile_options(folimeter_fixtures PRIVATE -Wno-missing-field-initializers)
endif()

# The readers the program is compared with, for the tests and the comparison benchmark: MuPDF
# (cmake/MuPDF.cmake) and poppler, each built in when it is installed.
if(NOT TARGET folimeter_reference_readers)
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
        pkg_check_modules(POPPLER_CPP QUIET IMPORTED_TARGET GLOBAL poppler-cpp)
    endif()
    add_library(folimeter_reference_readers STATIC ${CMAKE_CURRENT_LIST_DIR}/MuPdfCount.cpp
        ${CMAKE_CURRENT_LIST_DIR}/MuPdfCount.h)
    target_include_directories(folimeter_reference_readers PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
    target_link_libraries(folimeter_reference_readers PUBLIC Qt6::Core)
    if(TARGET folimeter_mupdf)
        target_link_libraries(folimeter_reference_readers PRIVATE folimeter_mupdf)
    endif()
    if(POPPLER_CPP_FOUND)
        target_compile_definitions(folimeter_reference_readers PRIVATE FOLIMETER_HAVE_POPPLER)
        target_link_libraries(folimeter_reference_readers PRIVATE PkgConfig::POPPLER_CPP)
    endif()
endif()
