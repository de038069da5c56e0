"""Sphinx configuration. The API reference is read from the installed package's .pyi stubs
(generated from the compiled modules at build time), so it shows the real signatures."""

import os

import corvane

project = "corvane"
author = "corvane developers"
copyright = "2026, corvane developers"
extensions = ["autoapi.extension", "matplotlib.sphinxext.plot_directive", "sphinx.ext.mathjax"]

autoapi_type = "python"
autoapi_dirs = [os.path.dirname(corvane.__file__)]
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_root = "api"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_options = ["members", "undoc-members", "show-inheritance", "special-members", "imported-members"]
autoapi_member_order = "bysource"

# Figures of the block pages are drawn when the docs build, from the code shown beside them.
plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 100)]
plot_rcparams = {"figure.figsize": (8, 3.6), "axes.grid": True}

html_theme = "furo"
html_title = "corvane"
exclude_patterns = ["_build"]
nitpicky = False
