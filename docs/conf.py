"""Sphinx configuration of the tarnwex documentation.

Build with ``make docs`` (scripts/docs.sh), or by hand:

    python -m sphinx -W --keep-going -n -q -b html docs build/docs/html

The site documents the tarnwex that Python imports: the API reference is
read from the installed module's docstrings, and the tutorials, MyST
Markdown notebooks, are executed at every build with the interpreter that
runs Sphinx. Nothing is fetched from the network.
"""

import os
import re
from pathlib import Path

# The notebooks' kernels and anything else that draws inherit this: no
# display is assumed (the notebooks switch their own kernel to the inline
# backend, which is headless too).
os.environ["MPLBACKEND"] = "Agg"
# The tutorials' kernel, "python3", is the one that ipykernel installs into
# this interpreter's environment (its command, "python", stands for this
# interpreter): prefer it to a kernel of that name in the user's own
# Jupyter folders, which may belong to another Python.
os.environ["JUPYTER_PREFER_ENV_PATH"] = "1"

# autodoc reads the compiled module itself, not the stub installed beside it
# (tarnwex.pyi has the types but not the docstrings; the reference page shows
# the stub as it is).
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"

ROOT = Path(__file__).resolve().parent.parent


def _version():
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    return re.search(r'^version = "([^"]+)"', text, re.MULTILINE).group(1)


project = "tarnwex"
author = "the tarnwex developers"
copyright = "tarnwex developers, BSD 3-Clause license"
release = version = _version()

extensions = [
    "myst_nb",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
]

# Only pages are sources: not build output, nor what Jupyter leaves behind.
# (Figures, the examples and the benchmark records are read from where they
# are in the repository.)
exclude_patterns = [
    "_build",
    "jupyter_execute",
    "**.ipynb_checkpoints",
    "**/__pycache__",
    "Thumbs.db",
    ".DS_Store",
]
source_suffix = {".md": "myst-nb", ".ipynb": "myst-nb"}
root_doc = "index"

# -- MyST and notebooks -------------------------------------------------------

myst_enable_extensions = ["deflist"]
# "#some-heading" anchors, as GitHub makes them, for headings down to ####.
myst_heading_anchors = 4

# Every tutorial runs at every build, with the python3 kernel of this
# interpreter (ipykernel in the same environment); an error in a cell fails
# the build.
nb_execution_mode = "force"
nb_execution_raise_on_error = True
nb_execution_show_tb = True
nb_execution_timeout = 120
nb_merge_streams = True

# -- API reference ------------------------------------------------------------

autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_typehints_description_target = "documented"
autodoc_docstring_signature = True
autodoc_default_options = {"members": True, "undoc-members": False}

napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_param = True
napoleon_use_rtype = True
napoleon_preprocess_types = False
napoleon_attr_annotations = True

# Nitpicky builds (-n) must not fail on types that live in other projects:
# without intersphinx (no network at build time) they cannot be linked.
#
# The docstrings' "optional" is numpydoc's marker for a parameter with a
# default, not a type; Sphinx's type fields read every word after a comma
# as a type name, so it is listed here as well. (napoleon's own type
# preprocessing knows the marker but splits "dict[str, float]" at its comma.)
nitpick_ignore = [
    ("py:class", "array_like"),  # NumPy's term: anything np.asarray accepts
    ("py:class", "callable"),
    ("py:class", "optional"),
    ("py:class", "numpy.ndarray"),
]

# -- HTML ---------------------------------------------------------------------

html_theme = "furo"
html_title = f"tarnwex {release}"
html_show_sourcelink = False
html_theme_options = {
    "source_edit_link": None,
}
