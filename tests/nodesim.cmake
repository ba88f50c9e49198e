# tst_nodesim also runs the simulator program itself.
if(TARGET tst_nodesim)
    target_compile_definitions(tst_nodesim PRIVATE NODESIM_EXE="$<TARGET_FILE:canopen-node-sim>")
    add_dependencies(tst_nodesim canopen-node-sim)
endif()
