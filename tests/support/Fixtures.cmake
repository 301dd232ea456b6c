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
