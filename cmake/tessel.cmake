# Shared helpers for the folder targets.
#
# Each folder of the layout is one library; its sources are the *.cc files found in it, so a new
# module only needs its files. Files ending in _main.cc are program entry points and are left
# out of the libraries.
function(tessel_folder_sources out dir)
  file(GLOB _srcs CONFIGURE_DEPENDS ${dir}/*.cc ${dir}/*.c)
  list(FILTER _srcs EXCLUDE REGEX "_main\\.cc$")
  set(${out} ${_srcs} PARENT_SCOPE)
endfunction()

# tessel_folder_library(NAME DIR [LIBS...]): the folder's library, an interface library while the
# folder has no sources yet.
function(tessel_folder_library name dir)
  tessel_folder_sources(_srcs ${dir})
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_include_directories(${name} PUBLIC ${dir})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${dir})
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()
