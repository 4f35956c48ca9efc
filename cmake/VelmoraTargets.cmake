# Headers are included as "folder/file.h" from the source root. A target sees
# only the headers of the libraries it links: each library publishes its own
# headers through an include root of its own, a folder in the build tree
# holding one symbolic link per header under the folder's name
# (include/<target>/<folder>/<file>.h). Two libraries built from one folder
# thus publish disjoint sets of headers, and a library that includes a header
# of one it does not link fails to compile.
#
# velmora_publish_headers(<target> <folder> [<header>...])
# Without headers, the target's own .h sources are published.
function(velmora_publish_headers target folder)
    set(headers ${ARGN})
    if(NOT headers)
        get_target_property(sources ${target} SOURCES)
        foreach(src ${sources})
            if(src MATCHES "\\.h$")
                list(APPEND headers ${src})
            endif()
        endforeach()
    endif()
    set(root ${CMAKE_BINARY_DIR}/include/${target})
    # Rebuilt at every configuration, so a header moved away or deleted is
    # gone from here too.
    file(REMOVE_RECURSE ${root})
    file(MAKE_DIRECTORY ${root}/${folder})
    foreach(header ${headers})
        get_filename_component(abs ${header} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        get_filename_component(name ${header} NAME)
        file(CREATE_LINK ${abs} ${root}/${folder}/${name} SYMBOLIC)
    endforeach()
    target_include_directories(${target} PUBLIC ${root})
endfunction()
