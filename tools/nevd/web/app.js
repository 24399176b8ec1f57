// The nevd web page: lists the printers with their conditions in words, prints a test receipt and
// shows the result and, for a simulated printer, its till roll (newest receipt first). Asks for
// the token when nevd wants one. Plain browser JavaScript, no libraries.
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
  if (res.status === 401) askForToken();
  const type = res.headers.get("Content-Type") || "";
  const body = type.startsWith("application/json") ? await res.json() : await res.text();
  return { status: res.status, body: body };
}

// nevd holds a token: the row that takes it shows, with the cursor in it.
function askForToken() {
  const row = document.getElementById("token-row");
  if (!row.hidden) return;
  row.hidden = false;
  document.getElementById("token").focus();
}

// The device's conditions in words: nevd's own "flags", else read from the status bits.
const statusWords = {
  generalError: "general error",
  noPaper: "no paper",
  fiscalReceiptOpen: "fiscal receipt open",
  nonfiscalReceiptOpen: "non-fiscal receipt open",
};
function flagsOf(p) {
  if (Array.isArray(p.flags)) return p.flags;
  if (!p.status) return [];
  return Object.keys(statusWords).filter((k) => p.status[k]).map((k) => statusWords[k]);
}

// The till roll with its newest receipt first: each receipt ends with a rule of "=" and a blank
// line.
function newestFirst(text) {
  return text.split(/(?<=\n=+\n\n)/).reverse().join("");
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
    cell(row, p.simulated ? "simulated" : p.port + (p.foundAt ? " (found at " + p.foundAt + ")" : ""));
    const flags = flagsOf(p);
    const noPaper = flags.includes("no paper");
    cell(row, p.state + (noPaper ? ": out of paper" : ""), p.state + (noPaper ? " no-paper" : ""));
    cell(row, String(p.queue));
    cell(row, p.status || flags.length ? (flags.length ? flags.join(", ") : "ready") : "-");
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
  if (r.status === 200) paper.textContent = newestFirst(r.body);
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
document.getElementById("token").addEventListener("change", () => refreshPrinters().then(refreshPaper));
refreshPrinters().then(refreshPaper);
setInterval(refreshPrinters, 3000);
