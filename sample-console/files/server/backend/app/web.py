"""Placeholder web application of the Quellmark Console sample.

The real console's backend replaces this module. It defines `app`, the object that the
setup program's runtime probe imports; the sample's service program answers HTTP itself.
"""

from fastapi import FastAPI

SERVICE = "quellmark-controller"
VERSION = "0.2.61"

app = FastAPI(title="Quellmark Console (sample)", version=VERSION)


@app.get("/api/v1/health")
def health():
    return {"service": SERVICE, "version": VERSION, "status": "ok"}
