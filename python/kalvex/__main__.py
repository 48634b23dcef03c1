"""``python -m kalvex``: the kalvex command."""
from kalvex.cli import main

raise SystemExit(main())
