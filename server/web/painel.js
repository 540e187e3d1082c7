// The occupancy page: reads /painel every second and redraws the numbers and the chart.
// Times come in the server's local time, so the page shows the restaurant's clock whatever
// the clock and time zone of the browser.
"use strict";

const INTERVALO_MS = 1000;
const ESPERA_MAXIMA_MS = 4000;

let grafico = null;

// "2026-12-07T11:45:07-03:00" -> "11:45:07"; another day than `hoje` gets its date too.
function horaLocal(iso, hoje) {
  const hora = iso.substring(11, 19);
  if (iso.substring(0, 10) === hoje) {
    return hora;
  }
  return iso.substring(8, 10) + "/" + iso.substring(5, 7) + "/" + iso.substring(0, 4) + " " + hora;
}

function minutos(hhmm) {
  return Number(hhmm.substring(0, 2)) * 60 + Number(hhmm.substring(3, 5));
}

// The slots worth drawing: the opening hours with half an hour around them, widened to
// any slot that has meals.
function faixasVisiveis(dados) {
  const periodos = dados.opening_hours.split(",").map((p) => p.split("-").map(minutos));
  let inicio = Math.min(...periodos.map((p) => p[0])) - 30;
  let fim = Math.max(...periodos.map((p) => p[1])) + 30;
  for (const faixa of dados.slots) {
    if (faixa.meals > 0) {
      inicio = Math.min(inicio, minutos(faixa.start));
      fim = Math.max(fim, minutos(faixa.start) + dados.slot_minutes);
    }
  }
  return dados.slots.filter((f) => minutos(f.start) >= inicio && minutos(f.start) < fim);
}

function desenhaGrafico(dados) {
  const faixas = faixasVisiveis(dados);
  const rotulos = faixas.map((f) => f.start);
  const refeicoes = faixas.map((f) => f.meals);
  const lotacao = faixas.map((f) => f.headcount);
  if (grafico === null) {
    grafico = new Chart(document.getElementById("grafico"), {
      data: {
        labels: rotulos,
        datasets: [
          { type: "bar", label: "Refeições na faixa", data: refeicoes, yAxisID: "y",
            backgroundColor: "rgba(11, 92, 173, 0.6)", order: 1 },
          { type: "line", label: "Lotação (máxima na faixa)", data: lotacao, yAxisID: "y1",
            borderColor: "#d9730d", backgroundColor: "#d9730d", stepped: true, spanGaps: false,
            pointRadius: 0, borderWidth: 3, order: 0 },
        ],
      },
      options: {
        animation: false,
        maintainAspectRatio: false,
        interaction: { mode: "index", intersect: false },
        scales: {
          y: { beginAtZero: true, position: "left", ticks: { precision: 0 },
               title: { display: true, text: "Refeições" } },
          y1: { beginAtZero: true, position: "right", ticks: { precision: 0 },
                grid: { drawOnChartArea: false }, title: { display: true, text: "Pessoas" } },
        },
      },
    });
    return;
  }
  grafico.data.labels = rotulos;
  grafico.data.datasets[0].data = refeicoes;
  grafico.data.datasets[1].data = lotacao;
  grafico.update("none");
}

// One row per board: its name, the people it counts inside and its last report, marked
// when it has been silent for too long. Names come from the boards: text, never markup.
function mostraPlacas(dados) {
  const linhas = dados.boards.map((placa) => {
    const linha = document.createElement("li");
    linha.dataset.placa = placa.board;
    linha.classList.toggle("silenciosa", placa.silent);
    const parte = (classe, texto) => {
      const span = document.createElement("span");
      span.className = classe;
      span.textContent = texto;
      linha.append(span);
    };
    parte("nome", placa.board === "" ? "Catraca sem nome" : placa.board);
    parte("contagem", String(placa.headcount));
    parte("relato", horaLocal(placa.last_report, dados.date));
    if (placa.silent) {
      parte("marca", "sem relato há mais de 10 minutos");
    }
    return linha;
  });
  document.getElementById("placas").replaceChildren(...linhas);
}

function mostra(dados) {
  document.getElementById("lotacao").textContent = String(dados.headcount);
  document.getElementById("refeicoes-hoje").textContent = String(dados.meals_today);
  document.getElementById("relogio").textContent = horaLocal(dados.now, "");
  document.getElementById("horario").textContent = dados.opening_hours.replaceAll(",", ", ");
  document.getElementById("ultimo-relato").textContent =
    dados.last_report === null ? "nenhum ainda" : horaLocal(dados.last_report, dados.date);
  avisa(dados.silent
    ? "Atenção: nenhum relato das catracas há mais de 10 minutos. Verifique se estão funcionando."
    : "");
  document.body.classList.toggle("silencio", dados.silent);
  mostraPlacas(dados);
  document.getElementById("em-debito").textContent = String(dados.overdrawn);
  if (typeof Chart !== "undefined") {
    desenhaGrafico(dados);
  }
}

function avisa(texto) {
  const aviso = document.getElementById("aviso");
  aviso.textContent = texto;
  aviso.hidden = texto === "";
}

async function atualiza() {
  const controle = new AbortController();
  const limite = setTimeout(() => controle.abort(), ESPERA_MAXIMA_MS);
  try {
    const resposta = await fetch("/painel", { cache: "no-store", signal: controle.signal });
    if (!resposta.ok) {
      throw new Error("HTTP " + resposta.status);
    }
    mostra(await resposta.json());
  } catch (e) {
    avisa("Sem contato com o servidor: os números podem estar desatualizados.");
  } finally {
    clearTimeout(limite);
    setTimeout(atualiza, INTERVALO_MS);
  }
}

atualiza();
