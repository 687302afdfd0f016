import os
import sys

# The tests run against the source tree's package (and the library named by
# $VEXAL_LIBRARY), not an installed copy.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
