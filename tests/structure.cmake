# The project's shape: layering of the folders, file names, file and
# function lengths (scripts/check-structure.py).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME Structure.LayersNamesAndLengths
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check-structure.py
                 ${PROJECT_SOURCE_DIR})
add_test(NAME Structure.CheckerFindsEachKindOfBreach
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check-structure.py --self-test)
