# What keeps a cold build cheap: line tables instead of full debug
# information, a fast linker, and libraries compiled in batches.

# Line tables are what backtraces, crash reports and sanitizer reports need;
# full debug information makes a compile half as slow again. Debug builds
# keep it all, except the sanitizer builds, which need it only for their reports.
string(REGEX REPLACE "(^| )-g( |$)" "\\1-g1\\2" CMAKE_CXX_FLAGS_RELWITHDEBINFO "${CMAKE_CXX_FLAGS_RELWITHDEBINFO}")
if(WIVORA_ASAN OR WIVORA_TSAN)
  string(REGEX REPLACE "(^| )-g( |$)" "\\1-g1\\2" CMAKE_CXX_FLAGS_DEBUG "${CMAKE_CXX_FLAGS_DEBUG}")
endif()

# mold links the large test programs in a fraction of ld's time; lld next.
find_program(WIVORA_MOLD mold)
find_program(WIVORA_LLD ld.lld)
if(WIVORA_MOLD)
  add_link_options(-fuse-ld=mold)
elseif(WIVORA_LLD)
  add_link_options(-fuse-ld=lld)
endif()

# wivora_batch_compile(target...)
# Compiles a library's files in batches of eight, one compiler run each: the
# Qt and Boost headers they share are parsed once a batch instead of once a
# file. Names a file keeps to itself must then differ between the files of
# one library (file-local helpers live in an anonymous namespace, shared
# ones in a header).
option(WIVORA_UNITY "Compile the libraries in batches (unity build)" ON)
function(wivora_batch_compile)
  if(WIVORA_UNITY)
    set_target_properties(${ARGN} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
  endif()
endfunction()
