# find_package(Kovaltherm): the imported target Kovaltherm::Kovaltherm, the DLL of the
# consumer's architecture (x86/ or x64/ of this package) with its import library and header.
get_filename_component(_kovaltherm_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_kovaltherm_arch x64)
else()
    set(_kovaltherm_arch x86)
endif()
set(_kovaltherm_dir "${_kovaltherm_root}/${_kovaltherm_arch}")

if(MSVC)
    set(_kovaltherm_implib "${_kovaltherm_dir}/Kovaltherm.lib")
else()
    set(_kovaltherm_implib "${_kovaltherm_dir}/libKovaltherm.dll.a")
endif()

if(NOT EXISTS "${_kovaltherm_dir}/Kovaltherm.dll" OR NOT EXISTS "${_kovaltherm_implib}")
    set(Kovaltherm_FOUND FALSE)
    set(Kovaltherm_NOT_FOUND_MESSAGE
        "this package has no ${_kovaltherm_arch} build (${_kovaltherm_dir})")
    return()
endif()

if(NOT TARGET Kovaltherm::Kovaltherm)
    add_library(Kovaltherm::Kovaltherm SHARED IMPORTED)
    set_target_properties(Kovaltherm::Kovaltherm PROPERTIES
        IMPORTED_LOCATION "${_kovaltherm_dir}/Kovaltherm.dll"
        IMPORTED_IMPLIB "${_kovaltherm_implib}"
        INTERFACE_INCLUDE_DIRECTORIES "${_kovaltherm_root}/include")
endif()
set(Kovaltherm_DLL "${_kovaltherm_dir}/Kovaltherm.dll")
