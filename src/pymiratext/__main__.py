"""``python -m pymiratext``: the same as the ``pymiratext`` command."""

from .cli import main

raise SystemExit(main())
