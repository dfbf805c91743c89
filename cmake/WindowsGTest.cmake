# GoogleTest for the Windows test programs, built from Debian's googletest sources with the
# cross compiler in use (either mingw-w64 target), as static libraries. Its porting hook in
# tests/wine/gtest-port stands in for what the win32 threading model lacks.
find_path(KOVALTHERM_GTEST_SOURCE_DIR NAMES src/gtest-all.cc
    PATHS /usr/src/googletest/googletest /usr/src/gtest
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT KOVALTHERM_GTEST_SOURCE_DIR)
    message(FATAL_ERROR "GoogleTest sources not found: install the Debian package googletest "
                        "(scripts/install-deps)")
endif()

add_library(kovaltherm_gtest STATIC ${KOVALTHERM_GTEST_SOURCE_DIR}/src/gtest-all.cc)
target_include_directories(kovaltherm_gtest BEFORE PUBLIC ${PROJECT_SOURCE_DIR}/tests/wine/gtest-port)
target_include_directories(kovaltherm_gtest SYSTEM PUBLIC ${KOVALTHERM_GTEST_SOURCE_DIR}/include)
target_include_directories(kovaltherm_gtest PRIVATE ${KOVALTHERM_GTEST_SOURCE_DIR})

add_library(kovaltherm_gtest_main STATIC ${KOVALTHERM_GTEST_SOURCE_DIR}/src/gtest_main.cc)
target_link_libraries(kovaltherm_gtest_main PUBLIC kovaltherm_gtest)
