"""The benchmarks' synthetic graph on the command line: ``python bench/graph.py --out DIR``.

The generator itself ships in the wheel (``tovalib_pyg.synthetic``) so that the examples run
outside a checkout; this file keeps the old command working.
"""

import sys

from tovalib_pyg.synthetic import main

if __name__ == "__main__":
    sys.exit(main())
