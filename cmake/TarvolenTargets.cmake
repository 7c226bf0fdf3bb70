# How every target of the project is set up: one set of warnings, and
# libraries that export only their own folder.

# The project's warnings. TARVOLEN_WERROR (on in the test command) makes them
# errors.
add_library(tarvolen_warnings INTERFACE)
target_compile_options(tarvolen_warnings INTERFACE -Wall -Wextra -Wshadow)
if(TARVOLEN_WERROR)
  target_compile_options(tarvolen_warnings INTERFACE -Werror)
endif()

# Each library's headers are included as "folder/Header.h". A library
# exports a directory that holds its own folder only, so a file can include
# from the libraries it links and from no other: an include that runs the
# wrong way between layers does not compile.
function(tarvolen_export_folder target folder)
  set(root ${PROJECT_BINARY_DIR}/exported/${folder})
  if(NOT EXISTS ${root}/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
endfunction()

# tarvolen_library(NAME FOLDER SOURCE...): a static library of one folder.
function(tarvolen_library name folder)
  add_library(${name} STATIC ${ARGN})
  tarvolen_export_folder(${name} ${folder})
  target_link_libraries(${name} PRIVATE tarvolen_warnings)
endfunction()

# tarvolen_executable(NAME SOURCE...): a program or test with the warnings.
function(tarvolen_executable name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE tarvolen_warnings)
endfunction()
