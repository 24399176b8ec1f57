// The nevd web page: lists the printers, prints a test receipt and shows the result and, for a
// simulated printer, its till roll. Plain browser JavaScript, no libraries.
"use strict";

const api = "/api/v1";

function headers(extra) {
  const h = Object.assign({}, extra || {});
  const token = document.getElementById("token").value;
  if (token) h["Authorization"] = "Bearer " + token;
  return h;
}

async function call(path, options) {
  const res = await fetch(api + path, Object.assign({}, options, {
    headers: headers(options && options.headers),
  }));
  if (res.status === 401) document.getElementById("token-row").hidden = false;
  const type = res.headers.get("Content-Type") || "";
  const body = type.startsWith("application/json") ? await res.json() : await res.text();
  return { status: res.status, body: body };
}

function cell(row, text, cls) {
  const td = document.createElement("td");
  td.textContent = text;
  if (cls) td.className = cls;
  row.appendChild(td);
}

async function refreshPrinters() {
  const r = await call("/printers");
  if (r.status !== 200) return;
  const tbody = document.querySelector("#printers tbody");
  const select = document.getElementById("printer");
  const chosen = select.value;
  tbody.textContent = "";
  select.textContent = "";
  for (const p of r.body) {
    const row = document.createElement("tr");
    row.id = "printer-" + p.id;
    cell(row, p.id);
    cell(row, p.simulated ? "simulated" : p.foundAt ? p.port + " at " + p.foundAt : p.port);
    cell(row, p.state, p.state);
    cell(row, String(p.queue));
    const flags = [];
    if (p.status) {
      for (const k of ["generalError", "noPaper", "fiscalReceiptOpen", "nonfiscalReceiptOpen"]) {
        if (p.status[k]) flags.push(k);
      }
    }
    cell(row, p.status ? (flags.length ? flags.join(", ") : "ready") : "-");
    cell(row, p.device ? p.device.info : "-");
    tbody.appendChild(row);
    const opt = document.createElement("option");
    opt.value = p.id;
    opt.textContent = p.id;
    opt.dataset.simulated = p.simulated ? "1" : "";
    select.appendChild(opt);
  }
  if (chosen) select.value = chosen;
}

async function refreshPaper() {
  const select = document.getElementById("printer");
  const opt = select.options[select.selectedIndex];
  const paper = document.getElementById("paper");
  if (!opt || !opt.dataset.simulated) {
    paper.textContent = "(not a simulated printer)";
    return;
  }
  const r = await call("/printers/" + encodeURIComponent(opt.value) + "/paper");
  if (r.status === 200) paper.textContent = r.body;
}

async function submitReceipt(event) {
  event.preventDefault();
  const printer = document.getElementById("printer").value;
  const doc = {
    id: "web-" + Date.now().toString(36) + "-" + Math.floor(Math.random() * 1e6).toString(36),
    operator: {
      number: Number(document.getElementById("op-number").value),
      password: document.getElementById("op-password").value,
    },
    items: [{
      text: document.getElementById("item-text").value,
      taxGroup: document.getElementById("item-group").value,
      quantity: Number(document.getElementById("item-qty").value),
      price: Number(document.getElementById("item-price").value),
    }],
    payments: [{ type: 1 }],
  };
  const out = document.getElementById("result");
  out.textContent = "printing " + doc.id + " ...";
  out.dataset.state = "";
  let r = await call("/printers/" + encodeURIComponent(printer) + "/receipts", {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify(doc),
  });
  while (r.status === 202) {
    await new Promise((ok) => setTimeout(ok, 500));
    const t = await call("/tasks/" + r.body.id);
    r = t.body.state === "done" ? { status: t.body.status, body: t.body.result } : r;
  }
  out.textContent = "HTTP " + r.status + "\n" + JSON.stringify(r.body, null, 2);
  out.dataset.state = (r.body && r.body.state) || (r.body && r.body.error ? "error" : "");
  await refreshPaper();
  await refreshPrinters();
}

document.getElementById("receipt-form").addEventListener("submit", submitReceipt);
document.getElementById("printer").addEventListener("change", refreshPaper);
refreshPrinters().then(refreshPaper);
setInterval(refreshPrinters, 3000);
