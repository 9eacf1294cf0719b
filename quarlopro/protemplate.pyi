# Type stubs of quarlopro.protemplate: the declaration text and the code
# template (Cython.Tempita) of the runtime verification module.

proBootstrapPxdTemplate: str
proBootstrapTemplate: str
