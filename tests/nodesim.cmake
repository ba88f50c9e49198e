# These tests also run the simulator program itself.
foreach(t tst_sim_cli tst_sdo)
    if(TARGET ${t})
        target_compile_definitions(${t} PRIVATE NODESIM_EXE="$<TARGET_FILE:canopen-node-sim>")
        add_dependencies(${t} canopen-node-sim)
    endif()
endforeach()
