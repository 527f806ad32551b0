"""Data tools on a lumvex filesystem: a Parquet dataset written and read by
pandas and pyarrow through lumvex:// URLs, a tar archive packed and unpacked
with tarfile, and the whole tree copied to another process by pickle.

Needs pandas, pyarrow and fsspec: pip install "lumvex[fsspec]" pandas pyarrow
Run: python examples/datasets.py   (nothing here touches the host's files)
"""

import io
import multiprocessing
import tarfile

import fsspec
import pandas as pd
import pyarrow.dataset as ds

import lumvex


def rows_in(pyfs, path):
    """Runs in a worker process, on the copy of the PyFs it was sent."""
    buffer = io.BytesIO(fsspec.filesystem("lumvex", fs=pyfs).cat_file(path))
    return len(pd.read_parquet(buffer))


def main():
    fs = lumvex.PyFs()
    options = {"fs": fs}  # which PyFs a lumvex:// URL means

    # --- a Parquet dataset, partitioned by year -----------------------------------------
    sales = pd.DataFrame({
        "year": [2024, 2024, 2025, 2025, 2025],
        "region": ["north", "south", "north", "south", "east"],
        "amount": [120.5, 98.0, 130.25, 101.0, 77.5],
    })
    for year, part in sales.groupby("year"):
        part.drop(columns="year").to_parquet(f"lumvex://sales/year={year}/part-0.parquet", index=False,
                                             storage_options=options)
    print("dataset:", fs.tree("/sales"), sep="\n", end="")

    # pyarrow reads the partitioned dataset through the fsspec filesystem.
    lfs = fsspec.filesystem("lumvex", fs=fs)
    table = ds.dataset("/sales", filesystem=lfs, format="parquet", partitioning="hive").to_table()
    total = table.to_pandas().groupby("year")["amount"].sum()
    print("total by year:", {int(year): float(value) for year, value in total.items()})

    # pandas reads one file back; CSV works the same way.
    print(pd.read_parquet("lumvex://sales/year=2025/part-0.parquet", storage_options=options)
          .to_csv(index=False), end="")

    # --- a tar archive -------------------------------------------------------------------
    # tarfile writes into a standard binary file object of the PyFs...
    with lfs.open("/backup/sales.tar.gz", "wb") as raw, \
            tarfile.open(fileobj=raw, mode="w:gz") as archive:
        for path in sorted(lfs.find("/sales")):
            info = tarfile.TarInfo(path.lstrip("/"))
            info.size = lfs.size(path)
            with lfs.open(path, "rb") as member:
                archive.addfile(info, member)
    print("archive:", lfs.size("/backup/sales.tar.gz"), "bytes")

    # ...and reads it back, extracting into a fresh directory of the same PyFs.
    with lfs.open("/backup/sales.tar.gz", "rb") as raw, tarfile.open(fileobj=raw) as archive:
        for member in archive.getmembers():
            lfs.pipe_file(f"/restored/{member.name}", archive.extractfile(member).read())
    restored = pd.read_parquet("lumvex://restored/sales/year=2024/part-0.parquet",
                               storage_options=options)
    print("restored 2024 rows:", len(restored))

    # --- the filesystem in another process -------------------------------------------
    # A PyFs pickles as a copy of its tree: a worker process gets its own copy.
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        print("rows seen by a worker:",
              pool.apply(rows_in, (fs, "/sales/year=2025/part-0.parquet")))


if __name__ == "__main__":
    main()
