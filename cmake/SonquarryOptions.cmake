# One options target carries the standard, the warnings and the sanitizer flags for every target.
add_library(sonquarry_options INTERFACE)
target_compile_features(sonquarry_options INTERFACE cxx_std_20)
target_compile_options(sonquarry_options INTERFACE -Wall -Wextra)
# GCC 12's libstdc++ inlines string concatenation into memcpy calls that -Wrestrict misreads at -O2
# and above (GCC bug 105651, fixed in 13): the warning fires on plain `"a" + s` in every file.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(sonquarry_options INTERFACE -Wno-restrict)
endif()
if(SONQUARRY_WERROR)
  target_compile_options(sonquarry_options INTERFACE -Werror)
endif()
target_include_directories(sonquarry_options INTERFACE ${PROJECT_SOURCE_DIR}/src)
# lld links the many test programs in a third of ld.bfd's time; the default linker where it is not
# installed.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=lld SONQUARRY_HAVE_LLD)
if(SONQUARRY_HAVE_LLD)
  target_link_options(sonquarry_options INTERFACE -fuse-ld=lld)
endif()

# Sanitizer build types: Asan (AddressSanitizer + UndefinedBehaviorSanitizer) and Tsan.
set(_asan "-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined")
set(_tsan "-O1 -g -fno-omit-frame-pointer -fsanitize=thread")
foreach(lang CXX C)
  set(CMAKE_${lang}_FLAGS_ASAN "${_asan}" CACHE STRING "" FORCE)
  set(CMAKE_${lang}_FLAGS_TSAN "${_tsan}" CACHE STRING "" FORCE)
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_ASAN "-fsanitize=address,undefined" CACHE STRING "" FORCE)
set(CMAKE_SHARED_LINKER_FLAGS_ASAN "-fsanitize=address,undefined" CACHE STRING "" FORCE)
set(CMAKE_EXE_LINKER_FLAGS_TSAN "-fsanitize=thread" CACHE STRING "" FORCE)
set(CMAKE_SHARED_LINKER_FLAGS_TSAN "-fsanitize=thread" CACHE STRING "" FORCE)
