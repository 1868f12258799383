# omniORB from Debian's packages, found through pkg-config, and the omniidl
# code generation step.
find_package(PkgConfig REQUIRED)
pkg_check_modules(OMNIORB REQUIRED IMPORTED_TARGET omniORB4 omniDynamic4 omnithread4)
find_program(OMNIIDL_EXECUTABLE omniidl REQUIRED)

# omniidl_cxx(OUT_SOURCES OUT_DIR IDL...): compiles each IDL file into
# OUT_DIR/<name>SK.cc and OUT_DIR/<name>DynSK.cc plus the header <name>.hh.
function(omniidl_cxx out_sources out_dir)
  file(MAKE_DIRECTORY ${out_dir})
  set(sources)
  foreach(idl ${ARGN})
    get_filename_component(name ${idl} NAME_WE)
    get_filename_component(idl_dir ${idl} DIRECTORY)
    set(outputs ${out_dir}/${name}.hh ${out_dir}/${name}SK.cc ${out_dir}/${name}DynSK.cc)
    add_custom_command(
      OUTPUT ${outputs}
      COMMAND ${OMNIIDL_EXECUTABLE} -bcxx -Wba -Wbh=.hh -Wbs=SK.cc -Wbd=DynSK.cc
              -Wbkeep_inc_path -I${idl_dir} -C${out_dir} ${idl}
      DEPENDS ${idl} ${ARGN}
      COMMENT "omniidl ${name}.idl"
      VERBATIM)
    list(APPEND sources ${out_dir}/${name}SK.cc ${out_dir}/${name}DynSK.cc)
  endforeach()
  set(${out_sources} ${sources} PARENT_SCOPE)
endfunction()
